// The Python-visible functions of the sound folder as one table:
// _volume_monitor, _play_sound_logic, play_sound and start_sound, each
// checking its declared argument types before the routines of sound.hpp.

#include "core/bindings.hpp"
#include "pyapi/convert.hpp"
#include "pyapi/namespace.hpp"
#include "sound/sound.hpp"

namespace kv::sound {
namespace {

// ---- registration ------------------------------------------------------------

constexpr auto kAssetName = "asset_name"_a.str().ann("str");
constexpr auto kStartTime = "start_time"_a.ann("float");

const FuncDecl kFunctions[] = {
    def<volume_monitor>("_volume_monitor"),
    def<play_sound_logic>("_play_sound_logic", "sound"_a.ann("pygame.mixer.Sound"), "filename"_a.str().ann("str"),
                          kStartTime, "prefix"_a.str().ann("str")),
    def<play_sound>("play_sound", kAssetName, kStartTime = 0.0),
    def<start_sound>("start_sound", kAssetName, kStartTime = 0.0),
};

}  // namespace
}  // namespace kv::sound

namespace kv {
FuncTable sound_functions() { return {sound::kFunctions, std::size(sound::kFunctions)}; }
}  // namespace kv
