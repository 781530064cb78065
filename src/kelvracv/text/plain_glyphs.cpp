// Reading of the OpenType tables that decide whether a glyph can take part
// in anything but pairwise shaping (see plain_glyphs.hpp). Every offset is
// checked against the data; anything unreadable or unknown counts against
// the glyphs it might touch (or the whole font).

#include "text/plain_glyphs.hpp"

#include <cstring>
#include <vector>

namespace kv::text {
namespace {

class Reader {
 public:
  Reader(const uint8_t* d, size_t n) : d_(d), n_(n) {}
  bool u16(size_t at, uint32_t* v) const {
    if (at + 2 > n_ || at + 2 < at) return false;
    *v = uint32_t{d_[at]} << 8 | d_[at + 1];
    return true;
  }
  bool u32(size_t at, uint32_t* v) const {
    if (at + 4 > n_ || at + 4 < at) return false;
    *v = uint32_t{d_[at]} << 24 | uint32_t{d_[at + 1]} << 16 | uint32_t{d_[at + 2]} << 8 | d_[at + 3];
    return true;
  }
  size_t size() const { return n_; }

 private:
  const uint8_t* d_;
  size_t n_;
};

struct Table {
  size_t off = 0, len = 0;
  bool present = false;
};

constexpr uint32_t tag(const char* t) {
  return uint32_t(uint8_t(t[0])) << 24 | uint32_t(uint8_t(t[1])) << 16 | uint32_t(uint8_t(t[2])) << 8 |
         uint32_t(uint8_t(t[3]));
}

// The glyphs of the candidates; `touched[i]` marks glyph_of[i] as not plain.
struct Glyphs {
  uint32_t glyph_of[256] = {};
  bool touched[256] = {};
  bool all = false;  // everything touched (the font is refused)
};

// Marks the candidates whose glyph a coverage table lists. False when unreadable.
bool mark_coverage(const Reader& r, size_t at, Glyphs* g, bool* hit = nullptr, bool mark = true) {
  uint32_t format, count;
  if (!r.u16(at, &format) || !r.u16(at + 2, &count)) return false;
  auto touch = [&](uint32_t lo, uint32_t hi) {
    for (int cp = 0; cp < 256; cp++)
      if (g->glyph_of[cp] && g->glyph_of[cp] >= lo && g->glyph_of[cp] <= hi) {
        if (mark) g->touched[cp] = true;
        if (hit) *hit = true;
      }
  };
  if (format == 1) {
    for (uint32_t i = 0; i < count; i++) {
      uint32_t gid;
      if (!r.u16(at + 4 + 2 * i, &gid)) return false;
      touch(gid, gid);
    }
    return true;
  }
  if (format == 2) {
    for (uint32_t i = 0; i < count; i++) {
      uint32_t lo, hi;
      if (!r.u16(at + 4 + 6 * i, &lo) || !r.u16(at + 6 + 6 * i, &hi)) return false;
      touch(lo, hi);
    }
    return true;
  }
  return false;
}

// The index of glyph `gid` in a coverage table: -1 when not listed, -2 when unreadable.
long coverage_index(const Reader& r, size_t at, uint32_t gid) {
  uint32_t format, count;
  if (!r.u16(at, &format) || !r.u16(at + 2, &count)) return -2;
  for (uint32_t i = 0; i < count; i++) {
    if (format == 1) {
      uint32_t g;
      if (!r.u16(at + 4 + 2 * i, &g)) return -2;
      if (g == gid) return static_cast<long>(i);
    } else if (format == 2) {
      uint32_t lo, hi, start;
      if (!r.u16(at + 4 + 6 * i, &lo) || !r.u16(at + 6 + 6 * i, &hi) || !r.u16(at + 8 + 6 * i, &start)) return -2;
      if (gid >= lo && gid <= hi) return static_cast<long>(start + (gid - lo));
    } else {
      return -2;
    }
  }
  return -1;
}

// A ligature substitution touches a candidate's glyph only through a
// ligature whose other components are all glyphs of candidates: any other
// ligature needs a glyph no plain string has. False when unreadable.
bool mark_ligatures(const Reader& r, size_t st, size_t cov, Glyphs* g) {
  uint32_t format, sets;
  if (!r.u16(st, &format) || format != 1 || !r.u16(st + 4, &sets)) return false;
  auto candidate_glyph = [&](uint32_t gid) {
    for (int cp = 0; cp < 256; cp++)
      if (plain_candidate(cp) && g->glyph_of[cp] == gid) return true;
    return false;
  };
  for (int cp = 0; cp < 256; cp++) {
    if (!g->glyph_of[cp] || g->touched[cp]) continue;
    const long k = coverage_index(r, cov, g->glyph_of[cp]);
    if (k == -2) return false;
    if (k < 0) continue;
    uint32_t set_off, count;
    if (static_cast<uint32_t>(k) >= sets || !r.u16(st + 6 + 2 * static_cast<size_t>(k), &set_off)) return false;
    const size_t set = st + set_off;
    if (!r.u16(set, &count)) return false;
    for (uint32_t i = 0; i < count && !g->touched[cp]; i++) {
      uint32_t lig_off, components;
      if (!r.u16(set + 2 + 2 * i, &lig_off) || !r.u16(set + lig_off + 2, &components)) return false;
      bool all = true;
      for (uint32_t c = 1; c < components && all; c++) {
        uint32_t gid;
        if (!r.u16(set + lig_off + 4 + 2 * (c - 1), &gid)) return false;
        all = candidate_glyph(gid);
      }
      if (all) g->touched[cp] = true;
    }
  }
  return true;
}

// The offset of a context or chained context subtable's first input coverage.
bool context_coverage(const Reader& r, size_t st, bool chained, size_t* cov) {
  uint32_t format, v;
  if (!r.u16(st, &format)) return false;
  if (format == 1 || format == 2) {
    if (!r.u16(st + 2, &v)) return false;
    *cov = st + v;
    return true;
  }
  if (format != 3) return false;
  if (!chained) {
    uint32_t count;
    if (!r.u16(st + 2, &count) || count == 0 || !r.u16(st + 6, &v)) return false;
    *cov = st + v;
    return true;
  }
  uint32_t back, input;
  if (!r.u16(st + 2, &back) || !r.u16(st + 4 + 2 * back, &input) || input == 0 || !r.u16(st + 6 + 2 * back, &v))
    return false;
  *cov = st + v;
  return true;
}

// The features HarfBuzz applies to left-to-right horizontal text in the
// default shaper (the one of Latin and Common text), whatever the script and
// language: its common and horizontal features, rvrn, rand, ltra, ltrm and
// its private ones (frac, numr and dnom apply only around U+2044, which is
// never plain); and vert and vrt2, which a glyph measured top to bottom
// must not meet either (see glyphs.cpp).
bool applied_feature(uint32_t t) {
  static const char* const kApplied[] = {"rvrn", "ltra", "ltrm", "rand", "Harf", "HARF", "Buzz", "BUZZ",
                                         "abvm", "blwm", "ccmp", "locl", "mark", "mkmk", "rlig", "calt",
                                         "clig", "curs", "dist", "kern", "liga", "rclt", "vert", "vrt2"};
  for (const char* a : kApplied)
    if (t == tag(a)) return true;
  return false;
}

// The lookups that applied features of any script and language system use
// (required features included); all lookups when the table has feature
// variations. False when unreadable.
bool applied_lookups(const Reader& r, size_t base, uint32_t lookups, std::vector<bool>* used) {
  used->assign(lookups, false);
  uint32_t minor, scripts_off, features_off, variations = 0;
  if (!r.u16(base + 2, &minor) || !r.u16(base + 4, &scripts_off) || !r.u16(base + 6, &features_off)) return false;
  if (minor >= 1 && !r.u32(base + 10, &variations)) return false;
  if (variations != 0) {
    used->assign(lookups, true);
    return true;
  }
  const size_t fl = base + features_off, sl = base + scripts_off;
  uint32_t nfeatures, nscripts;
  if (!r.u16(fl, &nfeatures) || !r.u16(sl, &nscripts)) return false;
  auto use_feature = [&](uint32_t index, bool required) {
    if (index >= nfeatures) return false;
    uint32_t t, off, count;
    if (!r.u32(fl + 2 + 6 * index, &t) || !r.u16(fl + 6 + 6 * index, &off)) return false;
    if (!required && !applied_feature(t)) return true;
    const size_t ft = fl + off;
    if (!r.u16(ft + 2, &count)) return false;
    for (uint32_t i = 0; i < count; i++) {
      uint32_t lookup;
      if (!r.u16(ft + 4 + 2 * i, &lookup) || lookup >= lookups) return false;
      (*used)[lookup] = true;
    }
    return true;
  };
  auto use_langsys = [&](size_t ls) {
    uint32_t required, count;
    if (!r.u16(ls + 2, &required) || !r.u16(ls + 4, &count)) return false;
    if (required != 0xFFFF && !use_feature(required, true)) return false;
    for (uint32_t i = 0; i < count; i++) {
      uint32_t index;
      if (!r.u16(ls + 6 + 2 * i, &index) || !use_feature(index, false)) return false;
    }
    return true;
  };
  for (uint32_t i = 0; i < nscripts; i++) {
    uint32_t off, def, nlang;
    if (!r.u16(sl + 2 + 6 * i + 4, &off)) return false;
    const size_t sc = sl + off;
    if (!r.u16(sc, &def) || !r.u16(sc + 2, &nlang)) return false;
    if (def != 0 && !use_langsys(sc + def)) return false;
    for (uint32_t j = 0; j < nlang; j++) {
      uint32_t lo;
      if (!r.u16(sc + 4 + 6 * j + 4, &lo) || !use_langsys(sc + lo)) return false;
    }
  }
  return true;
}

// Goes through every subtable of every applied lookup of GSUB (gpos false)
// or GPOS. A contextual lookup runs its nested lookups only where its own
// coverage matched, so the lookups the features name are enough.
bool scan_layout(const Reader& r, const Table& t, bool gpos, Glyphs* g) {
  if (!t.present) return true;
  uint32_t major, list;
  if (!r.u16(t.off, &major) || major != 1 || !r.u16(t.off + 8, &list)) return false;
  const size_t ll = t.off + list;
  uint32_t lookups;
  if (!r.u16(ll, &lookups)) return false;
  std::vector<bool> used;
  if (!applied_lookups(r, t.off, lookups, &used)) return false;
  for (uint32_t i = 0; i < lookups; i++) {
    if (!used[i]) continue;
    uint32_t lo, type, subtables;
    if (!r.u16(ll + 2 + 2 * i, &lo)) return false;
    const size_t lk = ll + lo;
    if (!r.u16(lk, &type) || !r.u16(lk + 4, &subtables)) return false;
    for (uint32_t s = 0; s < subtables; s++) {
      uint32_t so;
      if (!r.u16(lk + 6 + 2 * s, &so)) return false;
      size_t st = lk + so;
      uint32_t stype = type;
      if ((gpos && type == 9) || (!gpos && type == 7)) {  // extension
        uint32_t fmt, ext;
        if (!r.u16(st, &fmt) || fmt != 1 || !r.u16(st + 2, &stype) || !r.u32(st + 4, &ext)) return false;
        st += ext;
      }
      size_t cov = 0;
      bool context = gpos ? (stype == 7 || stype == 8) : (stype == 5 || stype == 6);
      if (context) {
        if (!context_coverage(r, st, gpos ? stype == 8 : stype == 6, &cov)) return false;
        if (!mark_coverage(r, cov, g)) return false;
        continue;
      }
      uint32_t v;
      if (!r.u16(st + 2, &v)) return false;
      cov = st + v;
      if (gpos && stype == 2) {
        // A pair adjustment of the first glyph's x advance only: pairwise, measured.
        uint32_t vf1, vf2;
        if (!r.u16(st + 4, &vf1) || !r.u16(st + 6, &vf2)) return false;
        if ((vf1 & ~uint32_t{0x0044}) == 0 && vf2 == 0) {
          bool hit = false;
          if (!mark_coverage(r, cov, g, &hit, false)) return false;
          continue;
        }
      }
      if (!gpos && stype == 4) {
        if (!mark_ligatures(r, st, cov, g)) return false;
        continue;
      }
      const bool known = gpos ? (stype >= 1 && stype <= 6) : (stype >= 1 && stype <= 3) || stype == 8;
      if (!known) return false;
      if (!mark_coverage(r, cov, g)) return false;
    }
  }
  return true;
}

// GDEF's glyph classes: a mark (class 3) is not plain.
bool scan_gdef(const Reader& r, const Table& t, Glyphs* g) {
  if (!t.present) return true;
  uint32_t major, cd;
  if (!r.u16(t.off, &major) || major != 1 || !r.u16(t.off + 4, &cd)) return false;
  if (cd == 0) return true;
  const size_t at = t.off + cd;
  uint32_t format;
  if (!r.u16(at, &format)) return false;
  auto classify = [&](uint32_t gid, uint32_t cls) {
    if (cls != 3) return;
    for (int cp = 0; cp < 256; cp++)
      if (g->glyph_of[cp] == gid) g->touched[cp] = true;
  };
  if (format == 1) {
    uint32_t start, count;
    if (!r.u16(at + 2, &start) || !r.u16(at + 4, &count)) return false;
    for (uint32_t i = 0; i < count; i++) {
      uint32_t cls;
      if (!r.u16(at + 6 + 2 * i, &cls)) return false;
      classify(start + i, cls);
    }
    return true;
  }
  if (format == 2) {
    uint32_t count;
    if (!r.u16(at + 2, &count)) return false;
    for (uint32_t i = 0; i < count; i++) {
      uint32_t lo, hi, cls;
      if (!r.u16(at + 4 + 6 * i, &lo) || !r.u16(at + 6 + 6 * i, &hi) || !r.u16(at + 8 + 6 * i, &cls)) return false;
      if (cls == 3)
        for (int cp = 0; cp < 256; cp++)
          if (g->glyph_of[cp] >= lo && g->glyph_of[cp] <= hi) g->touched[cp] = true;
    }
    return true;
  }
  return false;
}

// A kern table of horizontal pair subtables (formats 0 and 2 of the
// OpenType version) is pairwise; anything else (Apple's version, state
// machines, cross-stream or minimum values) is refused.
bool kern_is_pairwise(const Reader& r, const Table& t) {
  if (!t.present) return true;
  uint32_t version, count;
  if (!r.u16(t.off, &version) || version != 0 || !r.u16(t.off + 2, &count)) return false;
  size_t at = t.off + 4;
  for (uint32_t i = 0; i < count; i++) {
    uint32_t sub_version, length, coverage;
    if (!r.u16(at, &sub_version) || !r.u16(at + 2, &length) || !r.u16(at + 4, &coverage)) return false;
    const uint32_t format = coverage >> 8;
    if ((format != 0 && format != 2) || (coverage & 0x1) == 0 || (coverage & 0x6) != 0 || length < 6) return false;
    at += length;
  }
  return true;
}

// The glyph of each candidate in one Unicode character map subtable; false
// for a format not read here.
bool read_cmap(const Reader& r, size_t st, uint32_t out[256]) {
  uint32_t format;
  if (!r.u16(st, &format)) return false;
  for (int cp = 0; cp < 256; cp++) out[cp] = 0;
  if (format == 4) {
    uint32_t seg2;
    if (!r.u16(st + 6, &seg2) || seg2 % 2) return false;
    const size_t ends = st + 14, starts = ends + seg2 + 2, deltas = starts + seg2, ranges = deltas + seg2;
    for (uint32_t cp = 0; cp < 256; cp++) {
      for (uint32_t s = 0; s < seg2 / 2; s++) {
        uint32_t end, start, delta, range;
        if (!r.u16(ends + 2 * s, &end) || !r.u16(starts + 2 * s, &start) || !r.u16(deltas + 2 * s, &delta) ||
            !r.u16(ranges + 2 * s, &range))
          return false;
        if (cp > end) continue;
        if (cp < start) break;
        if (range == 0) {
          out[cp] = (cp + delta) & 0xFFFF;
        } else {
          uint32_t gid;
          if (!r.u16(ranges + 2 * s + range + 2 * (cp - start), &gid)) return false;
          out[cp] = gid ? (gid + delta) & 0xFFFF : 0;
        }
        break;
      }
    }
    return true;
  }
  if (format == 12) {
    uint32_t groups;
    if (!r.u32(st + 12, &groups)) return false;
    for (uint32_t i = 0; i < groups; i++) {
      uint32_t lo, hi, gid;
      if (!r.u32(st + 16 + 12 * i, &lo) || !r.u32(st + 20 + 12 * i, &hi) || !r.u32(st + 24 + 12 * i, &gid))
        return false;
      for (uint32_t cp = lo; cp <= hi && cp < 256; cp++) out[cp] = gid + (cp - lo);
    }
    return true;
  }
  return false;
}

}  // namespace

void find_plain_glyphs(const uint8_t* data, size_t size, bool plain[256]) {
  std::memset(plain, 0, 256);
  Reader r(data, size);
  uint32_t version, base = 0;
  if (!r.u32(0, &version)) return;
  if (version == tag("ttcf") && !r.u32(12, &base)) return;
  uint32_t ntables;
  if (!r.u16(base + 4, &ntables)) return;
  Table gsub, gpos, gdef, kern, cmap;
  for (uint32_t i = 0; i < ntables; i++) {
    uint32_t t, off, len;
    const size_t rec = base + 12 + 16 * i;
    if (!r.u32(rec, &t) || !r.u32(rec + 8, &off) || !r.u32(rec + 12, &len)) return;
    if (off > size || len > size - off) return;
    Table tb{off, len, true};
    if (t == tag("morx") || t == tag("mort") || t == tag("kerx") || t == tag("trak")) return;
    if (t == tag("GSUB")) gsub = tb;
    if (t == tag("GPOS")) gpos = tb;
    if (t == tag("GDEF")) gdef = tb;
    if (t == tag("kern")) kern = tb;
    if (t == tag("cmap")) cmap = tb;
  }
  if (!cmap.present || !kern_is_pairwise(r, kern)) return;

  // Every Unicode subtable must be read here and agree on the candidates.
  Glyphs g;
  uint32_t nsub;
  if (!r.u16(cmap.off + 2, &nsub)) return;
  bool any = false;
  for (uint32_t i = 0; i < nsub; i++) {
    uint32_t platform, encoding, off;
    const size_t rec = cmap.off + 4 + 8 * i;
    if (!r.u16(rec, &platform) || !r.u16(rec + 2, &encoding) || !r.u32(rec + 4, &off)) return;
    const bool unicode = platform == 0 || (platform == 3 && (encoding == 1 || encoding == 10));
    if (!unicode) continue;
    if (platform == 0 && encoding == 5) continue;  // variation sequences, not a map of characters
    uint32_t glyphs[256];
    if (!read_cmap(r, cmap.off + off, glyphs)) return;
    if (!any) {
      std::memcpy(g.glyph_of, glyphs, sizeof glyphs);
      any = true;
    } else if (std::memcmp(g.glyph_of, glyphs, sizeof glyphs) != 0) {
      return;
    }
  }
  if (!any) return;
  if (!scan_layout(r, gsub, false, &g) || !scan_layout(r, gpos, true, &g) || !scan_gdef(r, gdef, &g)) return;
  for (uint32_t cp = 0; cp < 256; cp++) plain[cp] = plain_candidate(cp) && g.glyph_of[cp] != 0 && !g.touched[cp];
}

}  // namespace kv::text
