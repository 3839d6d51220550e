// libFuzzer target over the text a user hands the Shadertoy form and what
// the driver says back: the input is wrapped as a fragment stage, read as a
// driver's log, and cut as a title would be. Inputs run to a megabyte (the
// size a shader file may have), so runs of one character, unclosed comments
// and huge identifiers are all tried. Each step must hold its invariants, or
// the target aborts; none may recurse with the input's length.
//
//   fuzz_shadertoy [libFuzzer options] [CORPUS...]
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzzCheck.h"
#include "picture/picture.h"
#include "picture/shaderSource.h"
#include "picture/title.h"

namespace {


// UTF-8 length in code points, counting every byte that starts one.
size_t characters(const std::string& text) {
  size_t n = 0;
  for (const char c : text) {
    n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const Result<WrappedShadertoy> wrapped = wrapShadertoy(text);
  // Either a stage with the user's text inside it, or a reason.
  check(wrapped.ok() || !wrapped.why().empty());
  if (wrapped) {
    check(wrapped.value().text.find("void main()") != std::string::npos);
    check(wrapped.value().text.size() + 3 >= text.size());  // a dropped BOM at most
  }
  // Every line of the log comes back as one line naming the file.
  const std::string described = describeShaderLog(text, "f.glsl");
  size_t lines = 0;
  for (size_t at = 0; (at = described.find("f.glsl", at)) != std::string::npos; at = described.find('\n', at)) {
    ++lines;
    if (at == std::string::npos) {
      break;
    }
  }
  check(described.empty() || lines > 0);
  const std::string title = fitTitleLength(text);
  check(characters(title) <= kMaxTitleCharacters + 1);
  check(title.find('\n') == std::string::npos);
  return 0;
}
