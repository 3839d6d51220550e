// libFuzzer target over the site's JSON export as the studio reads it: any
// text either becomes a shader (an image pass, passes in drawing order, every
// channel 0-3) or a one-line reason. A type the reader did not expect where
// it looks (a number for an object, a list for a string) must never throw.
//
//   fuzz_export [libFuzzer options] [CORPUS...]
#include <cstdint>
#include <string>

#include "fuzzCheck.h"
#include "picture/multipass.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const Result<ShadertoyShader> shader = parseShadertoyJson(text, "/nonexistent/x.json");
  check(shader.ok() || !shader.why().empty());
  if (!shader) {
    check(shader.why().find('\n') == std::string::npos);
    return 0;
  }
  int images = 0;
  int last = -2;
  for (const ShadertoyPass& pass : shader.value().passes) {
    images += pass.buffer < 0;
    const int order = pass.buffer < 0 ? 4 : pass.buffer;
    check(order > last);
    last = order;
    check(pass.code.size() <= kMaxShaderBytes);
  }
  check(images == 1);
  return 0;
}
