// multipass.cpp — see multipass.h.
#include "picture/multipass.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <sstream>
#include <unordered_map>

#include <nlohmann/json.hpp>

#include "base/text.h"
#include "picture/passNames.h"

namespace fs = std::filesystem;
using Json = nlohmann::json;

namespace {

// An export holds a handful of passes of hand-written code.
constexpr std::uintmax_t kMaxJsonBytes = 8 << 20;
// Names the site gives are short; what is longer is cut in messages.
constexpr size_t kMaxNameShown = 60;

// A name from the file, fit for one line of a message.
std::string shown(const std::string& text) {
  std::string cut = text;
  if (cut.size() > kMaxNameShown) {
    cutUtf8(cut, kMaxNameShown);
    cut += "…";
  }
  return printable(cut);
}

}  // namespace

namespace passNames {

std::string lowered(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// "Buffer A", "buf_a", "BUFFER-A" → "buffera"; "Buf A" → "bufa".
std::string squeezed(const std::string& text) {
  std::string out;
  for (const char c : lowered(text)) {
    if (c != ' ' && c != '-' && c != '_') {
      out += c;
    }
  }
  return out;
}

// A pass's name in any spelling the site or a person uses, as passName gives it.
std::string canonicalPass(const std::string& text) {
  const std::string s = squeezed(text);
  if (s == "image" || s == "common" || s == "sound") {
    return s;
  }
  for (const char* prefix : {"buffer", "buf", "cube", "cubemap"}) {
    const std::string p(prefix);
    if (s.size() == p.size() + 1 && s.compare(0, p.size(), p) == 0 && s.back() >= 'a' && s.back() <= 'd') {
      return (p[0] == 'b' ? "buffer-" : "cube-") + std::string(1, s.back());
    }
  }
  return "";
}

int bufferOfPass(const std::string& name) {
  return name.size() == 8 && name.compare(0, 7, "buffer-") == 0 ? name[7] - 'a' : -1;
}

std::string channelPlace(const std::string& pass, int channel) {
  return pass + "'s iChannel" + std::to_string(channel);
}

}  // namespace passNames

using namespace passNames;

namespace {

// A buffer named by what the site writes for it: its output id (new and old
// exports) or its preview picture.
int bufferOfId(const Json& id, const std::string& src) {
  static const char* const ids[4] = {"4dXGR8", "XsXGR8", "4sXGR8", "XdfGR8"};
  for (int b = 0; b < 4; ++b) {
    if ((id.is_string() && id.get<std::string>() == ids[b]) || (id.is_number_integer() && id.get<int>() == 257 + b) ||
        src == "/media/previz/buffer0" + std::to_string(b) + ".png") {
      return b;
    }
  }
  return -1;
}

std::string stringOr(const Json& object, const char* key, const std::string& otherwise = "") {
  const auto it = object.find(key);
  return it != object.end() && it->is_string() ? it->get<std::string>() : otherwise;
}

// The site writes flags as strings ("true") in some exports and as booleans in others.
bool flagOr(const Json& object, const char* key, bool otherwise) {
  const auto it = object.find(key);
  if (it == object.end()) {
    return otherwise;
  }
  return it->is_boolean() ? it->get<bool>() : it->is_string() ? it->get<std::string>() == "true" : otherwise;
}

void applySampler(const Json& sampler, Channel& channel) {
  if (!sampler.is_object()) {
    return;
  }
  const std::string filter = stringOr(sampler, "filter");
  if (filter == "nearest") {
    channel.filter = ChannelFilter::Nearest;
  } else if (filter == "linear") {
    channel.filter = ChannelFilter::Linear;
  } else if (filter == "mipmap") {
    channel.filter = ChannelFilter::Mipmap;
  }
  const std::string wrap = stringOr(sampler, "wrap");
  if (wrap == "repeat" || wrap == "clamp") {
    channel.repeat = wrap == "repeat";
  }
  channel.vflip = flagOr(sampler, "vflip", channel.vflip);
}

// One input of a pass in an export; notes for what stands in for it.
Channel channelFromJson(const Json& input, const std::string& pass, const std::string& dir,
                        std::vector<std::string>& notes) {
  const int slot = static_cast<int>(input["channel"].get<int64_t>());
  std::string kind = stringOr(input, "ctype", stringOr(input, "type"));
  const std::string src = stringOr(input, "src", stringOr(input, "filepath"));
  const auto idAt = input.find("id");
  const Json id = idAt != input.end() ? *idAt : Json();
  const std::string place = channelPlace(pass, slot);
  const std::string instead = "; give one with --channel " + pass + ":" + std::to_string(slot) + "=FILE";
  Channel channel;
  if (kind == "buffer") {
    const int buffer = bufferOfId(id, src);
    channel = siteDefaults(buffer >= 0 ? ChannelKind::Buffer : ChannelKind::Black, std::max(buffer, 0));
    if (buffer < 0) {
      notes.push_back(place + " reads a buffer this program does not know (" + shown(src) + "): it is black");
    }
  } else if (kind == "music" || kind == "musicstream" || kind == "mic") {
    channel = siteDefaults(ChannelKind::Music);
  } else if (kind == "keyboard") {
    channel = siteDefaults(ChannelKind::Keyboard);
  } else if (kind == "texture") {
    std::error_code ec;
    const std::string local = fs::path(dir) / fs::path(src).relative_path();
    const bool here = !src.empty() && src.rfind("/media/", 0) != 0 && fs::is_regular_file(local, ec);
    channel = siteDefaults(here ? ChannelKind::File : ChannelKind::Noise);
    channel.file = here ? local : "";
    if (!here) {
      notes.push_back(place + " is the site's texture " + (src.empty() ? "(unnamed)" : shown(src)) +
                      ", which is not here: drawing generated noise" + instead);
    }
  } else if (kind == "cubemap") {
    channel = siteDefaults(ChannelKind::Cube);
    notes.push_back(place + " is the site's cubemap " + shown(src) + ": drawing a generated sky instead");
  } else if (kind == "volume") {
    channel = siteDefaults(ChannelKind::Volume);
    notes.push_back(place + " is the site's volume " + shown(src) + ": drawing generated noise instead");
  } else {
    channel = siteDefaults(ChannelKind::Black);
    notes.push_back(place + " is a " + (kind.empty() ? "channel of no kind" : shown(kind)) + ": it is black" + instead);
  }
  applySampler(input.value("sampler", Json::object()), channel);
  return channel;
}

// The pass a renderpass entry is: from its name, else its type and outputs.
std::string passOfEntry(const Json& entry) {
  const std::string type = lowered(stringOr(entry, "type"));
  const std::string byName = canonicalPass(stringOr(entry, "name"));
  if (type == "image" || type == "common" || type == "sound") {
    return type;
  }
  if (!byName.empty() && byName != "image" && byName != "common") {
    return byName;
  }
  const auto outputs = entry.find("outputs");
  if (type == "buffer" && outputs != entry.end() && outputs->is_array() && !outputs->empty() &&
      outputs->front().is_object()) {
    const int b = bufferOfId(outputs->front().value("id", Json()), "");
    if (b >= 0) {
      return passName(b);
    }
  }
  return type == "cubemap" ? "cube-a" : "";
}

Result<Json> parseJson(const std::string& text, const std::string& path) {
  try {
    return Json::parse(text);
  } catch (const Json::exception& e) {
    std::string why = e.what();
    const size_t bracket = why.find("] ");
    return Status::failure(path + " is not JSON: " +
                           printable(bracket == std::string::npos ? why : why.substr(bracket + 2)));
  }
}

// A pass's own entry in the export, as a ShadertoyPass.
Result<ShadertoyPass> passFromEntry(const Json& entry, const std::string& name, const std::string& path,
                                    std::vector<std::string>& notes) {
  ShadertoyPass pass;
  pass.name = name;
  pass.buffer = bufferOfPass(name);
  pass.where = path + " (" + (pass.buffer >= 0 ? "Buffer " + std::string(1, static_cast<char>('A' + pass.buffer)) : "Image") + ")";
  pass.code = stringOr(entry, "code");
  for (int c = 0; c < 4; ++c) {
    pass.channels[static_cast<size_t>(c)] = Channel{};
  }
  const auto inputs = entry.find("inputs");
  if (inputs != entry.end() && inputs->is_array()) {
    for (const Json& input : *inputs) {
      if (!input.is_object() || !input.contains("channel")) {
        continue;
      }
      const Json& number = input["channel"];
      // Only a whole number 0-3: a cast would make 4294967296 channel 0.
      if (!number.is_number_integer() || number.get<int64_t>() < 0 || number.get<int64_t>() > 3 ||
          (number.is_number_unsigned() && number.get<uint64_t>() > 3)) {
        return Status::failure(pass.where + " reads channel " + shown(number.dump()) + "; channels are 0 to 3");
      }
      pass.channels[static_cast<size_t>(number.get<int64_t>())] =
          channelFromJson(input, name, fs::path(path).parent_path(), notes);
    }
  }
  return pass;
}

// The code of all passes together under the one cap, and no NUL byte, which
// the driver would take for the end of the text.
Status checkCode(const ShadertoyShader& shader, const std::string& path) {
  std::uintmax_t total = shader.common.size();
  if (shader.common.find('\0') != std::string::npos) {
    return Status::failure(shader.commonWhere + ": its code holds a NUL byte");
  }
  std::vector<ShadertoyPass> all = shader.passes;
  all.insert(all.end(), shader.sound.begin(), shader.sound.end());
  for (const ShadertoyPass& pass : all) {
    if (pass.code.find('\0') != std::string::npos) {
      return Status::failure(pass.where + ": its code holds a NUL byte");
    }
    total += pass.code.size();
  }
  if (total > kMaxShaderBytes) {
    return Status::failure("cannot use " + path + ": its code is larger than " + kMaxShaderText);
  }
  return Status();
}

// Notes said once each, with how many times they came up.
std::vector<std::string> counted(const std::vector<std::string>& notes) {
  std::vector<std::string> out;
  std::vector<size_t> times;
  std::unordered_map<std::string, size_t> index;
  for (const std::string& note : notes) {
    const auto [at, added] = index.emplace(note, out.size());
    if (added) {
      out.push_back(note);
      times.push_back(1);
    } else {
      ++times[at->second];
    }
  }
  for (size_t i = 0; i < out.size(); ++i) {
    if (times[i] > 1) {
      out[i] += " (" + std::to_string(times[i]) + " times)";
    }
  }
  return out;
}

// The first Sound pass is kept (drawn where it is the song); each is said
// to be left out where a song is given.
Status takeSound(const Json& entry, const std::string& path, ShadertoyShader& out) {
  out.notes.push_back(path + kSoundLeftOut);
  if (!out.sound.empty()) {
    return Status();
  }
  Result<ShadertoyPass> sound = passFromEntry(entry, "sound", path, out.notes);
  if (!sound) {
    return sound.status();
  }
  out.sound.push_back(sound.value());
  out.sound.back().where = path + " (Sound)";
  return Status();
}

// Buffers in order A-D, then the image pass.
void putInDrawingOrder(std::vector<ShadertoyPass>& passes) {
  std::stable_sort(passes.begin(), passes.end(), [](const ShadertoyPass& a, const ShadertoyPass& b) {
    return (a.buffer < 0 ? 4 : a.buffer) < (b.buffer < 0 ? 4 : b.buffer);
  });
}

// The API wraps the shader as {"Shader": {...}}; the export gives it bare,
// or as a list of one. Null when what is there has no list of passes.
const Json* shaderIn(const Json& root) {
  const Json* shader = &root;
  if (shader->is_array() && shader->size() == 1) {
    shader = &(*shader)[0];
  }
  if (shader->is_object() && shader->contains("Shader")) {
    shader = &(*shader)["Shader"];
  }
  if (!shader->is_object() || !shader->contains("renderpass") || !(*shader)["renderpass"].is_array()) {
    return nullptr;
  }
  return shader;
}

}  // namespace

Result<ShadertoyShader> readShadertoyJson(const std::string& path) {
  const Result<std::string> text = readSmallFile(path, kMaxJsonBytes, "8 MB, too large for one shader's export");
  if (!text) {
    return text.status();
  }
  return parseShadertoyJson(text.value(), path);
}

Result<ShadertoyShader> parseShadertoyJson(const std::string& text, const std::string& path) {
  const Result<Json> parsed = parseJson(text, path);
  if (!parsed) {
    return parsed.status();
  }
  const Json* shader = shaderIn(parsed.value());
  if (shader == nullptr) {
    return Status::failure(path + " is not a Shadertoy shader: it has no \"renderpass\" list");
  }
  ShadertoyShader out;
  bool seen[5] = {};
  for (const Json& entry : (*shader)["renderpass"]) {
    if (!entry.is_object()) {
      continue;
    }
    const std::string name = passOfEntry(entry);
    if (name == "common") {
      out.common = stringOr(entry, "code");
      out.commonWhere = path + " (Common)";
    } else if (name == "sound") {
      if (const Status sound = takeSound(entry, path, out); !sound) {
        return sound;
      }
    } else if (name.rfind("cube-", 0) == 0) {
      return Status::failure(path + ": its " + shown(stringOr(entry, "name", "Cube A")) +
                             " pass draws a cubemap, which this program cannot draw");
    } else if (name.empty()) {
      return Status::failure(path + ": a pass of type \"" + shown(stringOr(entry, "type")) + "\" named \"" +
                             shown(stringOr(entry, "name")) + "\" is not one this program knows");
    } else {
      const int slot = name == "image" ? 4 : bufferOfPass(name);
      if (seen[slot]) {
        return Status::failure(path + " has two " + name + " passes");
      }
      seen[slot] = true;
      Result<ShadertoyPass> pass = passFromEntry(entry, name, path, out.notes);
      if (!pass) {
        return pass.status();
      }
      out.passes.push_back(pass.value());
    }
  }
  if (!seen[4]) {
    return Status::failure(path + " has no Image pass");
  }
  if (const Status code = checkCode(out, path); !code) {
    return code;
  }
  putInDrawingOrder(out.passes);
  checkBufferReads(out);
  out.notes = counted(out.notes);
  return out;
}

std::string passOfFile(const std::string& filename) {
  const fs::path file(filename);
  const std::string extension = lowered(file.extension().string());
  if (extension != ".glsl" && extension != ".frag" && extension != ".fs") {
    return "";
  }
  return canonicalPass(file.stem().string());
}

namespace {

// The files of --image on iChannel1-3 and the music on iChannel0, as a single file has them.
std::array<Channel, 4> singleFileChannels() {
  return {siteDefaults(ChannelKind::Music), siteDefaults(ChannelKind::Given, 0), siteDefaults(ChannelKind::Given, 1),
          siteDefaults(ChannelKind::Given, 2)};
}

Status readChannelsFile(const std::string& dir, ShadertoyShader& shader) {
  const std::string path = dir + "/channels.txt";
  const Result<std::string> text = readSmallFile(path, 1 << 20, "1 MB, too large for a list of channels");
  if (!text) {
    return text.status();
  }
  std::istringstream lines(text.value());
  std::string line;
  std::vector<ChannelSetting> settings;
  for (int number = 1; std::getline(lines, line); ++number) {
    line = line.substr(0, line.find('#'));
    const size_t colon = line.find(':');
    std::istringstream words(colon == std::string::npos ? line : line.substr(colon + 1));
    const std::string pass = colon == std::string::npos ? "" : line.substr(0, colon);
    std::string word;
    bool any = false;
    while (words >> word) {
      any = true;
      Result<ChannelSetting> setting = parseChannelSetting(pass + ":" + word, dir);
      if (!setting) {
        return Status::failure(path + ":" + std::to_string(number) + ": " + setting.why());
      }
      settings.push_back(setting.value());
    }
    if (!any && line.find_first_not_of(" \t\r") != std::string::npos) {
      return Status::failure(path + ":" + std::to_string(number) + ": expected \"PASS: N=WHAT …\"");
    }
  }
  // What the file names is all a pass reads.
  for (ShadertoyPass& pass : shader.passes) {
    pass.channels = {};
  }
  for (ShadertoyPass& pass : shader.sound) {
    pass.channels = {};
  }
  return applyChannelSettings(shader, settings);
}

}  // namespace

Result<ShadertoyShader> readShadertoyFolder(const std::string& dir) {
  ShadertoyShader out;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dir, ec)) {
    const std::string filename = entry.path().filename().string();
    const std::string name = passOfFile(filename);
    const std::string path = dir + "/" + filename;
    if (name.empty()) {
      continue;
    }
    if (name == "sound") {
      out.notes.push_back(path + kSoundLeftOut);
      const Result<std::string> code = readSmallFile(path, kMaxShaderBytes, kMaxShaderText);
      if (!code) {
        return code.status();
      }
      out.sound = {ShadertoyPass{name, -1, path, code.value(), {}}};
      continue;
    }
    if (name.rfind("cube-", 0) == 0) {
      return Status::failure(path + " draws a cubemap, which this program cannot draw");
    }
    const bool common = name == "common";
    const bool taken = common ? !out.commonWhere.empty()
                              : std::any_of(out.passes.begin(), out.passes.end(),
                                            [&](const ShadertoyPass& p) { return p.name == name; });
    if (taken) {
      return Status::failure(dir + " holds two files for the " + name + " pass (one is " + filename + ")");
    }
    const Result<std::string> code = readSmallFile(path, kMaxShaderBytes, kMaxShaderText);
    if (!code) {
      return code.status();
    }
    if (common) {
      out.common = code.value();
      out.commonWhere = path;
    } else {
      out.passes.push_back(ShadertoyPass{name, bufferOfPass(name), path, code.value(), singleFileChannels()});
    }
  }
  if (std::none_of(out.passes.begin(), out.passes.end(), [](const ShadertoyPass& p) { return p.buffer < 0; })) {
    return Status::failure("cannot read the shaders in " + dir + ": it has no image.glsl");
  }
  if (const Status code = checkCode(out, dir); !code) {
    return code;
  }
  putInDrawingOrder(out.passes);
  // A link that leads nowhere is refused, not taken for no file.
  if (fs::exists(fs::symlink_status(dir + "/channels.txt", ec))) {
    const Status read = readChannelsFile(dir, out);
    if (!read) {
      return read;
    }
  }
  checkBufferReads(out);
  out.notes = counted(out.notes);
  return out;
}
