// shadertoyText.cpp — see shaderSource.h: a Shadertoy pass's text made into
// a fragment stage (the site's uniforms, its channels' types, a main that
// calls mainImage or mainSound), with the driver's quirks worked round.
#include "picture/shaderSource.h"

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

namespace {

const char* const kShadertoyUniforms = R"(#version 300 es
precision highp float;
precision highp int;
precision highp sampler3D;
// A reserved word in later GLSL that WebGL 2 lets shaders use as a name.
#define sample vraxSample
uniform vec3 iResolution;
uniform float iTime;
uniform float iTimeDelta;
uniform int iFrame;
uniform float iFrameRate;
uniform vec4 iDate;
uniform float iSampleRate;
uniform vec4 iMouse;
uniform float iChannelTime[4];
uniform vec3 iChannelResolution[4];
uniform float iBassTime;
uniform float iMidTime;
uniform float iTrebleTime;
uniform float iLevelTime;
uniform float iBpm;
uniform float iBeatPhase;
uniform float iBarPhase;
out vec4 vraxFragColor;
// Published shaders choose their quality by the site's own macro.
#define HW_PERFORMANCE 1
)";

// The main the form adds after the user's file; the picture shown is
// opaque, as on the site, and a buffer keeps all four channels, which
// shaders use as memory. An image pass that declares `uniform bool
// transparent` keeps its alpha while it is set (alpha as coverage, when the
// picture is laid over something); published shaders' alpha is never used. `undefine`: a macro named mainImage (common code's
// shorthand for its signature) is put aside first; a macro holding a whole
// golfed body must stay for the call to expand into it.
std::string shadertoyMain(bool buffer, bool undefine, const std::string& first = "", bool coverage = false) {
  return std::string(undefine ? "\n#undef mainImage" : "") + (first.empty() ? "" : "\nvoid vraxGlobals() {\n" + first + "}") + R"(
void main() {
    vec4 colour = vec4(0.0, 0.0, 0.0, 1.0);)" + (first.empty() ? "" : "\n    vraxGlobals();") + R"(
    mainImage(colour, gl_FragCoord.xy);
    vraxFragColor = )" + (buffer ? "colour" : coverage ? "transparent ? colour : vec4(colour.rgb, 1.0)" : "vec4(colour.rgb, 1.0)") +
         ";\n}\n";
}
}  // namespace

namespace {

bool identifierStart(char c) {
  return std::isalpha(static_cast<unsigned char>(c)) || c == '_';
}
bool identifierPart(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
}

// The text with every comment turned into spaces (line breaks kept), so
// positions and line numbers stay those of the text. One pass, no recursion:
// any length of any run of characters costs the same.
std::string withoutComments(const std::string& text) {
  std::string out = text;
  size_t i = 0;
  while (i < out.size()) {
    if (out.compare(i, 2, "//") == 0) {
      while (i < out.size() && out[i] != '\n') {
        out[i++] = ' ';
      }
    } else if (out.compare(i, 2, "/*") == 0) {
      out[i] = out[i + 1] = ' ';
      i += 2;
      while (i < out.size() && out.compare(i, 2, "*/") != 0) {
        if (out[i] != '\n') {
          out[i] = ' ';
        }
        ++i;
      }
      for (int k = 0; k < 2 && i < out.size(); ++k) {
        out[i++] = ' ';
      }
    } else {
      ++i;
    }
  }
  return out;
}

// Identifiers and semicolons, in order, from code without comments.
std::vector<std::string> tokens(const std::string& code) {
  std::vector<std::string> out;
  size_t i = 0;
  while (i < code.size()) {
    if (identifierStart(code[i])) {
      const size_t start = i;
      while (i < code.size() && identifierPart(code[i])) {
        ++i;
      }
      out.push_back(code.substr(start, i - start));
    } else if (std::isdigit(static_cast<unsigned char>(code[i]))) {
      while (i < code.size() && identifierPart(code[i])) {
        ++i;  // a number, with its suffix: not an identifier
      }
    } else {
      if (code[i] == ';') {
        out.emplace_back(";");
      }
      ++i;
    }
  }
  return out;
}

// Blanks a "#version" line: the form supplies its own (GLSL ES 3.00), and a
// second one is an error. The line stays, so the user's line numbers hold.
void dropVersionLine(std::string& user, const std::string& code) {
  size_t line = 0;
  while (line < code.size()) {
    const size_t end = std::min(code.find('\n', line), code.size());
    size_t i = code.find_first_not_of(" \t\r", line);
    if (i < end && code[i] == '#') {
      i = code.find_first_not_of(" \t", i + 1);
      if (i < end && code.compare(i, 7, "version") == 0) {
        std::fill(user.begin() + static_cast<std::ptrdiff_t>(line), user.begin() + static_cast<std::ptrdiff_t>(end),
                  ' ');
      }
    }
    line = end + 1;
  }
}

}  // namespace

namespace {

// The user's text as GLSL ES takes it: no byte order mark, no #version.
std::string cleaned(const std::string& given, std::string& code) {
  std::string user = given;
  // Editors on some systems start a file with a byte order mark; GLSL has none.
  if (user.compare(0, 3, "\xEF\xBB\xBF") == 0) {
    user.erase(0, 3);
  }
  code = withoutComments(user);
  dropVersionLine(user, code);
  return user;
}

// Where c first is in text[from, end), or end: never a search past the end,
// so a walk over a statement at a time stays linear in the text.
size_t firstOf(const std::string& text, char c, size_t from, size_t end) {
  const auto at = std::find(text.begin() + static_cast<std::ptrdiff_t>(from), text.begin() + static_cast<std::ptrdiff_t>(end), c);
  return static_cast<size_t>(at - text.begin());
}

// One global declaration's declarators ("a = 1.0, b[2] = ..."): each
// initializer blanked in `user` (line breaks kept, so line numbers hold)
// and appended to `assignments` as "NAME = EXPR;".
void moveInitializers(std::string& user, const std::string& code, size_t from, size_t end, std::string& assignments) {
  int depth = 0;
  size_t declarator = from;
  for (size_t i = from; i <= end; ++i) {
    const char c = i < end ? code[i] : ',';
    depth += (c == '(' || c == '[') - (c == ')' || c == ']');
    if (depth != 0 || c != ',') {
      continue;
    }
    const size_t equals = firstOf(code, '=', declarator, i);
    if (equals < i) {
      std::string name = code.substr(declarator, equals - declarator);
      name = name.substr(0, name.find('['));
      const size_t first = name.find_first_not_of(" \t\r\n");
      const size_t last = name.find_last_not_of(" \t\r\n");
      if (first != std::string::npos) {
        assignments += name.substr(first, last - first + 1) + " = " + code.substr(equals + 1, i - equals - 1) + ";\n";
        for (size_t k = equals; k < i; ++k) {
          user[k] = user[k] == '\n' ? '\n' : ' ';
        }
      }
    }
    declarator = i + 1;
  }
}

// WebGL runs a global's initializer that is not constant (vec2 r =
// iResolution.xy / 4.0;) at the start of main; GLSL ES refuses it. The same
// here: every initialised global that is not const or uniform is declared
// bare and assigned in the returned code, which main runs first. Empty when
// the code has none.
std::string initialisersToMain(std::string& user, const std::string& code) {
  std::string assignments;
  int braces = 0;
  size_t statement = 0;
  bool lineStart = true;
  for (size_t i = 0; i < code.size(); ++i) {
    const char c = code[i];
    if (lineStart && c == '#') {
      // A preprocessor line, with its continuations.
      while (i < code.size() && (code[i] != '\n' || code[i - 1] == '\\')) {
        ++i;
      }
      statement = i + 1;
      continue;
    }
    lineStart = c == '\n' || (lineStart && (c == ' ' || c == '\t' || c == '\r'));
    braces += (c == '{') - (c == '}');
    if (braces == 0 && (c == '}' || c == '{')) {
      statement = i + 1;
    }
    if (braces != 0 || c != ';') {
      continue;
    }
    const std::vector<std::string> words = tokens(code.substr(statement, i - statement));
    const size_t equals = firstOf(code, '=', statement, i);
    const size_t paren = firstOf(code, '(', statement, i);
    const bool declaration = words.size() >= 2 && equals < i && (paren > equals) && words[0] != "const" &&
                             words[0] != "uniform" && words[0] != "precision" && words[0] != "struct" &&
                             words[0] != "layout" && words[0] != "in" && words[0] != "out";
    if (declaration) {
      // Past the type (and a precision qualifier) to the first declarator.
      size_t at = code.find(words[0], statement) + words[0].size();
      if (words[0] == "highp" || words[0] == "mediump" || words[0] == "lowp") {
        at = code.find(words[1], at) + words[1].size();
      }
      moveInitializers(user, code, at, i, assignments);
    }
    statement = i + 1;
  }
  return assignments;
}

// The channels the code declares itself, by their type ("" where it does not).
Result<std::array<std::string, 4>> declaredChannels(const std::vector<std::string>& words) {
  std::array<std::string, 4> declared;
  for (size_t i = 0; i < words.size(); ++i) {
    if (words[i] != "uniform") {
      continue;
    }
    size_t end = i + 1;
    while (end < words.size() && end < i + 6 && words[end] != ";") {
      ++end;
    }
    if (end >= words.size() || words[end] != ";" || end < i + 3) {
      continue;
    }
    const std::string& name = words[end - 1];
    if (name.size() != 9 || name.compare(0, 8, "iChannel") != 0 || name[8] < '0' || name[8] > '3') {
      continue;
    }
    const std::string& type = words[end - 2];
    if (type != "sampler2D" && type != "samplerCube" && type != "sampler3D") {
      return Status::failure(name + " is declared as a " + type + "; a channel is a sampler2D, samplerCube or sampler3D");
    }
    declared[static_cast<size_t>(name[8] - '0')] = type;
  }
  return declared;
}

// What every pass's text starts with: Shadertoy's uniforms and the
// channels the code does not declare itself.
std::string uniformsHead(const std::vector<std::string>& words, const std::array<std::string, 4>& declared,
                         const WrapOptions& options) {
  std::string head = kShadertoyUniforms;
  // Old copies of shaders circulating outside the site still say iGlobalTime.
  if (std::find(words.begin(), words.end(), "iGlobalTime") != words.end()) {
    head += "#define iGlobalTime iTime\n";
  }
  for (size_t c = 0; c < 4; ++c) {
    if (declared[c].empty()) {
      head += std::string("uniform ") + options.types[c] + " iChannel" + std::to_string(c) + ";\n";
    }
  }
  return head;
}

// Whether the text names `word` as code, not in a comment or a string.
bool definesWord(const std::string& text, const char* word) {
  std::string code;
  cleaned(text, code);
  const std::vector<std::string> words = tokens(code);
  return std::find(words.begin(), words.end(), word) != words.end();
}

}  // namespace

Result<WrappedShadertoy> wrapShadertoy(const std::string& given, const WrapOptions& options) {
  std::string code;
  const std::string user = cleaned(given, code);
  const std::vector<std::string> words = tokens(code);
  // mainImage as code, not in a comment; a macro may make it (#define mainImage(f, c) ...).
  if (std::find(words.begin(), words.end(), "mainImage") == words.end()) {
    return Status::failure("it has no mainImage(out vec4, in vec2); a Shadertoy shader needs one");
  }
  std::string commonCode;
  const std::string common = cleaned(options.common, commonCode);
  std::vector<std::string> all = tokens(commonCode);
  all.insert(all.end(), words.begin(), words.end());
  Result<std::array<std::string, 4>> declared = declaredChannels(all);
  if (!declared) {
    return declared.status();
  }
  WrappedShadertoy out;
  out.declared = declared.value();
  out.text = uniformsHead(all, out.declared, options);
  // Common's lines are source string 1, the pass's source string 0, so the
  // driver's lines say which file they are in. What follows the file is
  // numbered from kWrapperLine, so an error there is not taken for one of
  // the user's lines (Mesa does not print the source string number).
  const std::string head = out.text;
  const std::string body = (options.common.empty() ? "" : "#line 1 1\n" + common + "\n") + "#line 1 0\n" + user + "\n";
  const std::string wrapperLine = "#line " + std::to_string(kWrapperLine) + " 0\n";
  // A picture of ours that writes its coverage says so by declaring the flag.
  bool coverage = false;
  for (size_t i = 0; i + 2 < words.size(); ++i) {
    coverage = coverage || (words[i] == "uniform" && words[i + 1] == "bool" && words[i + 2] == "transparent");
  }
  out.text = head + body + wrapperLine + shadertoyMain(options.buffer, true, "", coverage);
  // Published shaders need one of two other orders: main after the code
  // without putting a mainImage macro aside, or main before the code (for
  // code that redefines main() or gl_FragCoord, which would rewrite a main
  // after it).
  out.otherOrders.push_back(head + body + wrapperLine + shadertoyMain(options.buffer, false, "", coverage));
  out.otherOrders.push_back(head + wrapperLine + "void mainImage(out vec4 fragColor, in vec2 fragCoord);\n" +
                            shadertoyMain(options.buffer, false) + body);
  // And globals initialised from uniforms, as WebGL takes them.
  std::string movedCommon = common;
  std::string movedUser = user;
  const std::string moved = initialisersToMain(movedCommon, withoutComments(common)) +
                            initialisersToMain(movedUser, withoutComments(user));
  if (!moved.empty()) {
    out.otherOrders.push_back(head + (options.common.empty() ? "" : "#line 1 1\n" + movedCommon + "\n") +
                              "#line 1 0\n" + movedUser + "\n" + wrapperLine +
                              shadertoyMain(options.buffer, true, moved, coverage));
  }
  return out;
}
bool definesMainSound(const std::string& text) { return definesWord(text, "mainSound"); }

bool definesMainImage(const std::string& text) { return definesWord(text, "mainImage"); }

namespace {

// The main a Sound pass gets: the sample this pixel is (kSoundWidth a row,
// iFrame the draw's first row), its time as the sample's whole
// seconds plus the rest (so the time stays as exact as a float can hold it
// however far in), and the two samples written as floats.
std::string soundMain(bool withSample) {
  return "void main() {\n"
         "    int vraxN = (iFrame + int(gl_FragCoord.y)) * " + std::to_string(kSoundWidth) +
         " + int(gl_FragCoord.x);\n"
         "    int vraxRate = int(iSampleRate + 0.5);\n"
         "    int vraxWhole = vraxN / vraxRate;\n"
         "    float vraxT = float(vraxWhole) + float(vraxN - vraxWhole * vraxRate) / float(vraxRate);\n"
         "    vec2 vraxS = mainSound(" + (withSample ? "vraxN, " : "") + "vraxT);\n"
         "    vraxFragColor = vec4(vraxS, 0.0, 1.0);\n"
         "}\n";
}

}  // namespace

Result<WrappedShadertoy> wrapShadertoySound(const std::string& given, const WrapOptions& options) {
  std::string code;
  const std::string user = cleaned(given, code);
  std::string commonCode;
  const std::string common = cleaned(options.common, commonCode);
  std::vector<std::string> all = tokens(commonCode);
  const std::vector<std::string> words = tokens(code);
  all.insert(all.end(), words.begin(), words.end());
  if (std::find(all.begin(), all.end(), "mainSound") == all.end()) {
    return Status::failure("it has no mainSound(int, float) or mainSound(float); a Sound pass needs one");
  }
  Result<std::array<std::string, 4>> declared = declaredChannels(all);
  if (!declared) {
    return declared.status();
  }
  WrappedShadertoy out;
  out.declared = declared.value();
  const std::string head = uniformsHead(all, out.declared, options);
  const std::string body = (options.common.empty() ? "" : "#line 1 1\n" + common + "\n") + "#line 1 0\n" + user + "\n";
  const std::string wrapperLine = "#line " + std::to_string(kWrapperLine) + " 0\n";
  // The site's signature with the sample's number first; the older one,
  // with the time alone, where that does not build.
  out.text = head + body + wrapperLine + soundMain(true);
  out.otherOrders.push_back(head + body + wrapperLine + soundMain(false));
  return out;
}
