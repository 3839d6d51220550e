// channels.cpp — see channels.h.
#include "picture/channels.h"

#include "picture/multipass.h"
#include "picture/upload.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <filesystem>

namespace {

// The same bytes on every run and machine: a picture's noise must not
// change between a render and its re-render.
uint8_t hashByte(uint32_t x) {
  x ^= x >> 16;
  x *= 0x7feb352dU;
  x ^= x >> 15;
  x *= 0x846ca68bU;
  x ^= x >> 16;
  return static_cast<uint8_t>(x & 0xff);
}

std::vector<uint8_t> noiseBytes(size_t texels, uint32_t seed) {
  std::vector<uint8_t> bytes(texels * 4);
  for (size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = hashByte(static_cast<uint32_t>(i) * 2654435761U + seed);
  }
  return bytes;
}

// A soft sky: blue overhead, pale at the horizon, a dim ground below.
std::vector<uint8_t> skyFace(int face, int side) {
  std::vector<uint8_t> bytes(static_cast<size_t>(side) * static_cast<size_t>(side) * 4);
  for (int j = 0; j < side; ++j) {
    for (int i = 0; i < side; ++i) {
      const float s = 2.0f * (static_cast<float>(i) + 0.5f) / static_cast<float>(side) - 1.0f;
      const float t = 2.0f * (static_cast<float>(j) + 0.5f) / static_cast<float>(side) - 1.0f;
      // Each face's direction as GL lays out cube map faces (+X, −X, +Y, −Y, +Z, −Z).
      const float dirs[6][3] = {{1, -t, -s}, {-1, -t, s}, {s, 1, t}, {s, -1, -t}, {s, -t, 1}, {-s, -t, -1}};
      const float* d = dirs[face];
      const float y = d[1] / std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
      const float up = std::max(y, 0.0f);
      const float down = std::min(std::max(-y * 4.0f, 0.0f), 1.0f);
      const float rgb[3] = {0.85f + (0.25f - 0.85f) * up, 0.9f + (0.45f - 0.9f) * up, 0.95f + (0.8f - 0.95f) * up};
      const float ground[3] = {0.3f, 0.28f, 0.25f};
      uint8_t* out = &bytes[(static_cast<size_t>(j) * static_cast<size_t>(side) + static_cast<size_t>(i)) * 4];
      for (int k = 0; k < 3; ++k) {
        out[k] = static_cast<uint8_t>(std::lround(255.0f * (rgb[k] + (ground[k] - rgb[k]) * down)));
      }
      out[3] = 255;
    }
  }
  return bytes;
}

}  // namespace

ChannelTextures::ChannelTextures() {
  GL_CALL(glPixelStorei(GL_UNPACK_ALIGNMENT, 1));
  GL_CALL(glGenTextures(1, &music_));
  GL_CALL(glBindTexture(GL_TEXTURE_2D, music_));
  GL_CALL(glTexImage2D(GL_TEXTURE_2D, 0, GL_R8, 512, 2, 0, GL_RED, GL_UNSIGNED_BYTE, nullptr));
  GL_CALL(glGenTextures(1, &keys_));
  GL_CALL(glBindTexture(GL_TEXTURE_2D, keys_));
  const std::vector<uint8_t> up(kKeyCodes * 3, 0);
  GL_CALL(glTexImage2D(GL_TEXTURE_2D, 0, GL_R8, kKeyCodes, 3, 0, GL_RED, GL_UNSIGNED_BYTE, up.data()));

  noise_ = ChannelTexture{GL_TEXTURE_2D, 0, {256, 256, 1}};
  GL_CALL(glGenTextures(1, &noise_.texture));
  GL_CALL(glBindTexture(GL_TEXTURE_2D, noise_.texture));
  GL_CALL(glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, 256, 256, 0, GL_RGBA, GL_UNSIGNED_BYTE, noiseBytes(256 * 256, 1).data()));
  GL_CALL(glGenerateMipmap(GL_TEXTURE_2D));

  constexpr int kSky = 64;
  sky_ = ChannelTexture{GL_TEXTURE_CUBE_MAP, 0, {kSky, kSky, 1}};
  GL_CALL(glGenTextures(1, &sky_.texture));
  GL_CALL(glBindTexture(GL_TEXTURE_CUBE_MAP, sky_.texture));
  for (int face = 0; face < 6; ++face) {
    GL_CALL(glTexImage2D(static_cast<GLenum>(GL_TEXTURE_CUBE_MAP_POSITIVE_X + face), 0, GL_RGBA8, kSky, kSky, 0,
                         GL_RGBA, GL_UNSIGNED_BYTE, skyFace(face, kSky).data()));
  }
  GL_CALL(glGenerateMipmap(GL_TEXTURE_CUBE_MAP));

  constexpr int kVolume = 32;
  volume_ = ChannelTexture{GL_TEXTURE_3D, 0, {kVolume, kVolume, kVolume}};
  GL_CALL(glGenTextures(1, &volume_.texture));
  GL_CALL(glBindTexture(GL_TEXTURE_3D, volume_.texture));
  GL_CALL(glTexImage3D(GL_TEXTURE_3D, 0, GL_RGBA8, kVolume, kVolume, kVolume, 0, GL_RGBA, GL_UNSIGNED_BYTE,
                       noiseBytes(kVolume * kVolume * kVolume, 2).data()));
  GL_CALL(glGenerateMipmap(GL_TEXTURE_3D));

  // One texel each: what the driver always holds.
  black_ = upload(Image{}, false).value();
  GL_CALL(glBindTexture(GL_TEXTURE_2D, 0));
}

ChannelTextures::~ChannelTextures() {
  for (auto& [key, file] : files_) {
    glDeleteTextures(1, &file.texture);
    file.texture = 0;
  }
  for (auto& slot : given_) {
    for (ChannelTexture& flip : slot) {
      glDeleteTextures(1, &flip.texture);
      flip.texture = 0;
    }
  }
  for (ChannelTexture* made : {&black_, &volume_, &sky_, &noise_}) {
    glDeleteTextures(1, &made->texture);
    made->texture = 0;
  }
  glDeleteTextures(1, &keys_);
  keys_ = 0;
  glDeleteTextures(1, &music_);
  music_ = 0;
}

// An empty image is one black texel, as the site shows a channel with nothing in it.
Result<ChannelTexture> ChannelTextures::upload(const Image& image, bool vflip) {
  static const uint8_t black[4] = {0, 0, 0, 255};
  ChannelTexture out{GL_TEXTURE_2D, 0, {static_cast<float>(std::max(image.width, 1)),
                                        static_cast<float>(std::max(image.height, 1)), 1}};
  GL_CALL(glGenTextures(1, &out.texture));
  if (const Status taken = uploadImage(out.texture, image, vflip, true, black); !taken) {
    glDeleteTextures(1, &out.texture);
    out.texture = 0;
    return taken;
  }
  return out;
}

Status ChannelTextures::setGiven(int slot, bool vflip, const Image& image) {
  if (slot < 0 || slot >= 3 || given_[slot][vflip ? 1 : 0].texture != 0) {
    return Status();
  }
  Result<ChannelTexture> uploaded = upload(image, vflip);
  if (!uploaded) {
    return uploaded.status();
  }
  given_[slot][vflip ? 1 : 0] = uploaded.value();
  return Status();
}

void ChannelTextures::forgetGiven(int slot) {
  if (slot < 0 || slot >= 3) {
    return;
  }
  for (ChannelTexture& flip : given_[slot]) {
    glDeleteTextures(1, &flip.texture);
    flip = ChannelTexture{};
  }
}

void ChannelTextures::keepOnly(const PictureSource& source) {
  for (auto file = files_.begin(); file != files_.end();) {
    const bool read = std::any_of(source.passes.begin(), source.passes.end(), [&](const PassSource& pass) {
      return std::any_of(pass.channels.begin(), pass.channels.end(), [&](const Channel& channel) {
        return (channel.kind == ChannelKind::File || channel.kind == ChannelKind::Cube) && channel.file == file->first.first &&
               (channel.kind == ChannelKind::Cube || channel.vflip == file->first.second);
      });
    });
    if (read) {
      ++file;
    } else {
      glDeleteTextures(1, &file->second.texture);
      file = files_.erase(file);
    }
  }
}

// Six square faces of one size, in GL's order (+X, −X, +Y, −Y, +Z, −Z).
Result<ChannelTexture> ChannelTextures::uploadCube(const std::string& folder) {
  static const char* const faces[6] = {"px", "nx", "py", "ny", "pz", "nz"};
  std::vector<Image> images;
  for (const char* face : faces) {
    const std::string file = cubeFaceFile(folder, face);
    if (file.empty()) {
      return Status::failure("the cubemap " + folder + " has no face " + face + " (px, nx, py, ny, pz, nz)");
    }
    Result<Image> image = loadImage(file);
    if (!image) {
      return Status::failure(file + ": " + image.why());
    }
    if (image.value().width != image.value().height ||
        (!images.empty() && image.value().width != images.front().width)) {
      return Status::failure("the cubemap " + folder + "'s faces must be squares of one size");
    }
    images.push_back(std::move(image.value()));
  }
  const auto side = static_cast<float>(images.front().width);
  ChannelTexture out{GL_TEXTURE_CUBE_MAP, 0, {side, side, 1}};
  GL_CALL(glGenTextures(1, &out.texture));
  GL_CALL(glBindTexture(GL_TEXTURE_CUBE_MAP, out.texture));
  GL_CALL(glPixelStorei(GL_UNPACK_ALIGNMENT, 1));
  // Storage is where a driver runs out: checked here, in our words.
  Status taken;
  for (int f = 0; f < 6 && taken; ++f) {
    const Image& image = images[static_cast<size_t>(f)];
    glTexImage2D(static_cast<GLenum>(GL_TEXTURE_CUBE_MAP_POSITIVE_X + f), 0, GL_RGBA8, image.width, image.height, 0,
                 GL_RGBA, GL_UNSIGNED_BYTE, image.rgba.data());
    taken = textureTaken("the cubemap " + folder + "'s faces of " + std::to_string(image.width) + "x" +
                         std::to_string(image.height));
  }
  if (taken) {
    glGenerateMipmap(GL_TEXTURE_CUBE_MAP);
    taken = textureTaken("the cubemap " + folder + "'s smaller sizes");
  }
  GL_CALL(glBindTexture(GL_TEXTURE_CUBE_MAP, 0));
  if (!taken) {
    glDeleteTextures(1, &out.texture);
    out.texture = 0;
    return taken;
  }
  return out;
}

Status ChannelTextures::load(const PictureSource& source) {
  for (const PassSource& pass : source.passes) {
    for (const Channel& channel : pass.channels) {
      if (channel.kind == ChannelKind::Cube && !channel.file.empty() && files_.count({channel.file, false}) == 0) {
        Result<ChannelTexture> cube = uploadCube(channel.file);
        if (!cube) {
          return Status::failure(pass.name + "'s channel: " + cube.why());
        }
        files_[{channel.file, false}] = cube.value();
      }
      if (channel.kind != ChannelKind::File || files_.count({channel.file, channel.vflip}) > 0) {
        continue;
      }
      const Result<Image> image = loadImage(channel.file);
      if (!image) {
        return Status::failure(pass.name + "'s channel " + channel.file + ": " + image.why());
      }
      Result<ChannelTexture> uploaded = upload(image.value(), channel.vflip);
      if (!uploaded) {
        return Status::failure(pass.name + "'s channel " + channel.file + ": " + uploaded.why());
      }
      files_[{channel.file, channel.vflip}] = uploaded.value();
    }
  }
  return Status();
}

void ChannelTextures::setMusic(const uint8_t* bytes, bool mipmaps) {
  GL_CALL(glBindTexture(GL_TEXTURE_2D, music_));
  GL_CALL(glPixelStorei(GL_UNPACK_ALIGNMENT, 1));
  GL_CALL(glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, 512, 2, GL_RED, GL_UNSIGNED_BYTE, bytes));
  if (mipmaps) {
    GL_CALL(glGenerateMipmap(GL_TEXTURE_2D));
  }
  GL_CALL(glBindTexture(GL_TEXTURE_2D, 0));
}

void ChannelTextures::setKeys(const KeyRows& rows) {
  static const KeyRows none(kKeyCodes * 3, 0);
  GL_CALL(glBindTexture(GL_TEXTURE_2D, keys_));
  GL_CALL(glPixelStorei(GL_UNPACK_ALIGNMENT, 1));
  GL_CALL(glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, kKeyCodes, 3, GL_RED, GL_UNSIGNED_BYTE,
                          rows.size() == none.size() ? rows.data() : none.data()));
  GL_CALL(glBindTexture(GL_TEXTURE_2D, 0));
}

ChannelTexture ChannelTextures::of(const Channel& channel) const {
  switch (channel.kind) {
    case ChannelKind::Music:
      return ChannelTexture{GL_TEXTURE_2D, music_, {512, 2, 1}};
    case ChannelKind::Keyboard:
      return ChannelTexture{GL_TEXTURE_2D, keys_, {kKeyCodes, 3, 1}};
    case ChannelKind::Noise:
      return noise_;
    case ChannelKind::Cube: {
      const auto it = channel.file.empty() ? files_.end() : files_.find({channel.file, false});
      return it != files_.end() ? it->second : sky_;
    }
    case ChannelKind::Volume:
      return volume_;
    case ChannelKind::Given:
      if (channel.index >= 0 && channel.index < 3 && given_[channel.index][channel.vflip ? 1 : 0].texture != 0) {
        return given_[channel.index][channel.vflip ? 1 : 0];
      }
      return black_;
    case ChannelKind::File: {
      const auto it = files_.find({channel.file, channel.vflip});
      return it != files_.end() ? it->second : black_;
    }
    default:
      return black_;
  }
}

GLuint makeSampler(const Channel& channel) {
  GLuint sampler = 0;
  GL_CALL(glGenSamplers(1, &sampler));
  const GLint min = channel.filter == ChannelFilter::Nearest  ? GL_NEAREST
                    : channel.filter == ChannelFilter::Linear ? GL_LINEAR
                                                              : GL_LINEAR_MIPMAP_LINEAR;
  const GLint mag = channel.filter == ChannelFilter::Nearest ? GL_NEAREST : GL_LINEAR;
  // A cubemap is seamless whatever the channel says about wrapping.
  const GLint wrap = channel.repeat && channel.kind != ChannelKind::Cube ? GL_REPEAT : GL_CLAMP_TO_EDGE;
  GL_CALL(glSamplerParameteri(sampler, GL_TEXTURE_MIN_FILTER, min));
  GL_CALL(glSamplerParameteri(sampler, GL_TEXTURE_MAG_FILTER, mag));
  GL_CALL(glSamplerParameteri(sampler, GL_TEXTURE_WRAP_S, wrap));
  GL_CALL(glSamplerParameteri(sampler, GL_TEXTURE_WRAP_T, wrap));
  GL_CALL(glSamplerParameteri(sampler, GL_TEXTURE_WRAP_R, wrap));
  return sampler;
}
