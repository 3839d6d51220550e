// channelSettings.cpp — see multipass.h: what --channel and a folder's
// channels.txt say a channel reads, and the files a channel reads.
#include "picture/multipass.h"

#include <algorithm>
#include <filesystem>
#include <string>

#include "base/text.h"
#include "picture/passNames.h"

namespace fs = std::filesystem;
using namespace passNames;

namespace {

Result<Channel> channelOfWhat(const std::string& what, const std::string& dir) {
  const std::string lower = lowered(what);
  const std::string pass = canonicalPass(lower);
  if (bufferOfPass(pass) >= 0) {
    return siteDefaults(ChannelKind::Buffer, bufferOfPass(pass));
  }
  struct Named {
    const char* name;
    ChannelKind kind;
  };
  static const Named named[] = {{"music", ChannelKind::Music},   {"musicstream", ChannelKind::Music},
                                {"mic", ChannelKind::Music},     {"keyboard", ChannelKind::Keyboard},
                                {"noise", ChannelKind::Noise},   {"cubemap", ChannelKind::Cube},
                                {"volume", ChannelKind::Volume}, {"black", ChannelKind::Black},
                                {"none", ChannelKind::None}};
  for (const Named& n : named) {
    if (lower == n.name) {
      return siteDefaults(n.kind);
    }
  }
  if (what.empty()) {
    return Status::failure("nothing after \"=\"; give music, keyboard, buffer-a … buffer-d, noise or an image file");
  }
  if (lower.rfind("cubemap:", 0) == 0) {
    Channel cube = siteDefaults(ChannelKind::Cube);
    const std::string folder = what.substr(8);
    cube.file = fs::path(folder).is_absolute() || dir.empty() ? folder : (fs::path(dir) / folder).string();
    std::error_code ec;
    if (!fs::is_directory(cube.file, ec)) {
      return Status::failure("\"" + folder + "\" is not a folder of six cubemap faces (px, nx, py, ny, pz, nz)");
    }
    return cube;
  }
  Channel file = siteDefaults(ChannelKind::File);
  file.file = fs::path(what).is_absolute() || dir.empty() ? what : (fs::path(dir) / what).string();
  std::error_code ec;
  if (!fs::is_regular_file(file.file, ec)) {
    return Status::failure("\"" + what + "\" is neither music, keyboard, buffer-a … buffer-d, noise, cubemap, "
                           "volume, black nor an image file here");
  }
  return file;
}

}  // namespace

Result<ChannelSetting> parseChannelSetting(const std::string& text, const std::string& dir) {
  ChannelSetting setting;
  const size_t equals = text.find('=');
  const size_t colon = text.find(':');
  if (equals == std::string::npos) {
    return Status::failure("\"" + text + "\" is not PASS:N=WHAT (e.g. buffer-a:0=buffer-a, 1=music)");
  }
  std::string slot = text.substr(0, equals);
  if (colon != std::string::npos && colon < equals) {
    setting.pass = colon == 0 ? "image" : canonicalPass(text.substr(0, colon));
    if (setting.pass.empty() || setting.pass == "common") {
      return Status::failure("\"" + text.substr(0, colon) + "\" is not a pass (image, buffer-a … buffer-d, sound)");
    }
    slot = text.substr(colon + 1, equals - colon - 1);
  }
  if (slot.size() != 1 || slot[0] < '0' || slot[0] > '3') {
    return Status::failure("\"" + slot + "\" is not a channel; channels are 0 to 3");
  }
  setting.channel = slot[0] - '0';
  std::istringstream parts(text.substr(equals + 1));
  std::string what;
  std::getline(parts, what, ',');
  Result<Channel> value = channelOfWhat(what, dir);
  if (!value) {
    return value.status();
  }
  setting.value = value.value();
  for (std::string option; std::getline(parts, option, ',');) {
    Channel& c = setting.value;
    const std::string o = lowered(option);
    if (o == "nearest" || o == "linear" || o == "mipmap") {
      c.filter = o == "nearest" ? ChannelFilter::Nearest : o == "linear" ? ChannelFilter::Linear : ChannelFilter::Mipmap;
    } else if (o == "clamp" || o == "repeat") {
      c.repeat = o == "repeat";
    } else if (o == "flip" || o == "noflip") {
      c.vflip = o == "flip";
    } else {
      return Status::failure("\"" + option + "\" is not a sampler option (nearest, linear, mipmap, clamp, repeat, noflip)");
    }
  }
  return setting;
}

Status applyChannelSettings(ShadertoyShader& shader, const std::vector<ChannelSetting>& settings) {
  for (const ChannelSetting& s : settings) {
    std::vector<ShadertoyPass>& passes = s.pass == "sound" ? shader.sound : shader.passes;
    auto pass = std::find_if(passes.begin(), passes.end(), [&](const ShadertoyPass& p) { return p.name == s.pass; });
    if (pass == passes.end()) {
      return Status::failure("the shader has no " + s.pass + " pass to set iChannel" + std::to_string(s.channel) +
                             " of");
    }
    pass->channels[static_cast<size_t>(s.channel)] = s.value;
  }
  return Status();
}

void checkBufferReads(ShadertoyShader& shader) {
  bool drawn[4] = {};
  for (const ShadertoyPass& pass : shader.passes) {
    if (pass.buffer >= 0) {
      drawn[pass.buffer] = true;
    }
  }
  for (ShadertoyPass& pass : shader.passes) {
    for (int c = 0; c < 4; ++c) {
      Channel& channel = pass.channels[static_cast<size_t>(c)];
      if (channel.kind == ChannelKind::Buffer && !drawn[channel.index]) {
        shader.notes.push_back(channelPlace(pass.name, c) + " reads " + passName(channel.index) +
                               ", which no pass draws: it is black");
        channel = siteDefaults(ChannelKind::Black);
      }
    }
  }
}

std::string cubeFaceFile(const std::string& folder, const std::string& face) {
  const std::string longer = (face[0] == 'p' ? "pos" : "neg") + face.substr(1);
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(folder, ec)) {
    const std::string stem = lowered(entry.path().stem().string());
    if (entry.is_regular_file(ec) && (stem == face || stem == longer)) {
      return entry.path().string();
    }
  }
  return "";
}

std::vector<std::string> channelFiles(const Channel& channel) {
  if (channel.kind == ChannelKind::File) {
    return {channel.file};
  }
  std::vector<std::string> faces;
  if (channel.kind == ChannelKind::Cube && !channel.file.empty()) {
    for (const char* face : {"px", "nx", "py", "ny", "pz", "nz"}) {
      faces.push_back(cubeFaceFile(channel.file, face));
    }
  }
  return faces;
}
