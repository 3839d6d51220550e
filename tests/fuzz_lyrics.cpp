// libFuzzer target over the lyrics readers: the first byte chooses the
// file's kind (LRC, SRT, WebVTT, ASS), the rest is its text. A file is read
// into a script or refused with a reason naming it; a script libass reads
// is drawn at a few moments without reading outside its image.
//
//   fuzz_lyrics [libFuzzer options] [CORPUS...]
#include <cstdint>
#include <string>

#include "fuzzCheck.h"
#include "picture/lyrics.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) {
    return 0;
  }
  static const char* const kNames[] = {"f.lrc", "f.srt", "f.vtt", "f.ass"};
  const std::string name = kNames[data[0] % 4];
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  const Result<std::string> script = lyricsScript(name, text, 64, 48, LyricsPlace::Bottom);
  if (!script) {
    check(script.why().compare(0, name.size(), name) == 0);
    return 0;
  }
  Result<std::unique_ptr<Lyrics>> lyrics = Lyrics::open(script.value(), "");
  if (lyrics) {
    for (double t : {0.0, 1.0, 61.5}) {
      bool changed = false;
      const Image& image = lyrics.value()->at(t, 64, 48, changed);
      check(image.width == 64 && image.height == 48 && image.rgba.size() == 64u * 48u * 4u);
    }
  }
  return 0;
}
