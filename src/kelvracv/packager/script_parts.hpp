// The fixed text of a packaged script, byte for byte. A packaged script is
// the head, the repr of the JSON entry list, the middle, the repr of the main
// script's file name and the tail, in that order. Run, it unpacks into a
// temporary folder, runs the main script from there as __main__ and removes
// the folder at exit or on SIGTERM.
#pragma once

namespace kv::packager {

// Starts with a line feed; ends inside the json.loads( call.
inline constexpr const char kScriptHead[] = R"kv(
import os,sys,tempfile,base64,zlib,json,atexit,shutil
VFR=json.loads()kv";

// Closes json.loads, defines cleanup, the SIGTERM handler and run_compiled;
// ends inside the runpy.run_path call, where the main script's name follows
// as a literal. The temporary folder goes at exit (Ctrl+C included) and on
// SIGTERM, after which the signal ends the program as it would have; a
// relative KELVRACV_RECORD is made absolute before the change of folder.
inline constexpr const char kScriptMiddle[] = R"kv()
import runpy,traceback,signal
def cleanup(d):
    try:shutil.rmtree(d) if os.path.exists(d) else None
    except:pass
def on_sigterm(d):
    def handler(signum, frame):
        cleanup(d); signal.signal(signum, signal.SIG_DFL); os.kill(os.getpid(), signum)
    return handler
def run_compiled():
    tmp_d = tempfile.mkdtemp(); atexit.register(cleanup, tmp_d); sys.path.insert(0, tmp_d)
    try:
        if signal.getsignal(signal.SIGTERM) == signal.SIG_DFL:signal.signal(signal.SIGTERM, on_sigterm(tmp_d))
    except ValueError:pass
    for fn, edata in VFR:
        try:
            fp = os.path.join(tmp_d, fn); os.makedirs(os.path.dirname(fp), exist_ok = True)
            with open(fp, 'wb') as f:f.write(zlib.decompress(base64.b64decode(edata)))
        except Exception as e:print(f"Error extracting {fn}:{e}"); sys.exit(1)
    rec = os.environ.get("KELVRACV_RECORD", "")
    if rec.strip():os.environ["KELVRACV_RECORD"] = os.path.abspath(rec)
    orig_cwd = os.getcwd(); os.chdir(tmp_d)
    try:runpy.run_path(os.path.join(tmp_d, )kv";

// Runs the main script as __main__; a failure is reported with its traceback
// and exit status 1 (a program's own sys.exit passes through). Ends with a
// line feed.
inline constexpr const char kScriptTail[] = R"kv(), run_name="__main__")
    except Exception as e:print(f"Runtime error:{e}"); traceback.print_exc(); sys.exit(1)
    finally:os.chdir(orig_cwd)
if __name__ == "__main__":run_compiled()
)kv";

}  // namespace kv::packager
