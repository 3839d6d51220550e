// pictureInputs.cpp — see picture.h: what a picture reads (its settings, the
// studio's inputs, the channels' images) and how each reaches its passes.
#include "picture/picture.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <cctype>
#include <ctime>
#include <iterator>
#include <sstream>

#include "base/text.h"
#include "scene.h"
#include "spectrum.h"

namespace {

// What a missing image or cover reads as: one see-through texel.
const uint8_t kClearTexel[4] = {0, 0, 0, 0};

}  // namespace

namespace {

struct ActiveUniform {
  std::string name;  // as the driver gives it: an array's with "[0]"
  GLint size = 0;
  GLenum type = 0;
};

// What a linked program declares and uses.
std::vector<ActiveUniform> activeUniforms(GLuint program) {
  GLint count = 0;
  GL_CALL(glGetProgramiv(program, GL_ACTIVE_UNIFORMS, &count));
  std::vector<ActiveUniform> out;
  for (GLint i = 0; i < count; ++i) {
    char name[256] = {};
    ActiveUniform u;
    glGetActiveUniform(program, static_cast<GLuint>(i), sizeof name, nullptr, &u.size, &u.type, name);
    u.name = name;
    out.push_back(u);
  }
  return out;
}

}  // namespace

void Picture::applySettings(const Notes& notes) {
  for (const Pass& pass : passes_) {
    for (const ActiveUniform& uniform : activeUniforms(pass.program)) {
      for (const Setting& s : settings_) {
        if (s.name != uniform.name) {
          continue;
        }
        const GLint at = glGetUniformLocation(pass.program, uniform.name.c_str());
        if (uniform.type == (s.colour ? GL_FLOAT_VEC3 : GL_FLOAT)) {
          if (s.colour) {
            GL_CALL(glProgramUniform3fv(pass.program, at, 1, s.value.data()));
          } else {
            GL_CALL(glProgramUniform1f(pass.program, at, s.value[0]));
          }
        } else if (notes) {
          notes("the setting \"" + s.name + "\" should be declared as " + (s.colour ? "vec3" : "float") +
                "; it is not set");
        }
      }
    }
  }
}

namespace {

struct Want {
  const char* name;
  GLenum type;
  const char* typeName;
};
// Every input by its index: the studio's own are checked for their type;
// Shadertoy's are the wrapper's own declarations.
const Want wants[] = {
    {"resolution", GL_FLOAT_VEC2, "vec2"}, {"frame", GL_INT, "int"},
    {"bands", GL_FLOAT, "float[64]"},      {"bass", GL_FLOAT, "float"},
    {"mid", GL_FLOAT, "float"},            {"treble", GL_FLOAT, "float"},
    {"level", GL_FLOAT, "float"},          {"beat", GL_FLOAT, "float"},
    {"beats", GL_INT, "int"},              {"waveform", GL_SAMPLER_2D, "sampler2D"},
    {"image0", GL_SAMPLER_2D, "sampler2D"}, {"image1", GL_SAMPLER_2D, "sampler2D"},
    {"image2", GL_SAMPLER_2D, "sampler2D"}, {"image3", GL_SAMPLER_2D, "sampler2D"},
    {"image0Size", GL_FLOAT_VEC2, "vec2"}, {"image1Size", GL_FLOAT_VEC2, "vec2"},
    {"image2Size", GL_FLOAT_VEC2, "vec2"}, {"image3Size", GL_FLOAT_VEC2, "vec2"},
    {"cover", GL_SAMPLER_2D, "sampler2D"},  {"coverSize", GL_FLOAT_VEC2, "vec2"},
    {"previous", GL_SAMPLER_2D, "sampler2D"},
    {"bassTime", GL_FLOAT, "float"},        {"midTime", GL_FLOAT, "float"},
    {"trebleTime", GL_FLOAT, "float"},      {"levelTime", GL_FLOAT, "float"},
    {"delta", GL_FLOAT, "float"},           {"peaks", GL_FLOAT, "float[64]"},
    {"transparent", GL_BOOL, "bool"},       {"loudness", GL_FLOAT, "float"},
    {"waveHistory", GL_SAMPLER_2D, "sampler2D"}, {"bandHistory", GL_SAMPLER_2D, "sampler2D"},
    {"bandHistorySeconds", GL_FLOAT, "float"}, {"wavePairs", GL_SAMPLER_2D, "sampler2D"},
    {"titleBox", GL_FLOAT_VEC4, "vec4"},
    {"titleShown", GL_FLOAT, "float"}, {"titleClear", GL_FLOAT_VEC2, "vec2"},
    {"progress", GL_FLOAT, "float"},
    {"bpm", GL_FLOAT, "float"}, {"beatPhase", GL_FLOAT, "float"}, {"beatIndex", GL_INT, "int"},
    {"barPhase", GL_FLOAT, "float"}, {"barIndex", GL_INT, "int"}, {"layer", GL_INT, "int"},
    {"aspect", 0, ""}, {"itime", 0, ""}, {"iResolution", 0, ""}, {"iTime", 0, ""}, {"iTimeDelta", 0, ""},
    {"iFrame", 0, ""}, {"iFrameRate", 0, ""}, {"iDate", 0, ""}, {"iSampleRate", 0, ""}, {"iMouse", 0, ""},
    {"iChannelTime", 0, ""}, {"iChannelResolution", 0, ""}, {"iChannel0", 0, ""}, {"iChannel1", 0, ""},
    {"iChannel2", 0, ""}, {"iChannel3", 0, ""}, {"iBassTime", 0, ""}, {"iMidTime", 0, ""},
    {"iTrebleTime", 0, ""}, {"iLevelTime", 0, ""},
    {"iBpm", 0, ""}, {"iBeatPhase", 0, ""}, {"iBarPhase", 0, ""}};

}  // namespace

std::vector<std::string> Picture::findInputs(Pass& pass) {
  static_assert(std::size(wants) == kInputCount, "an input without its name");
  std::vector<std::string> wrong;
  for (GLint& at : pass.at) {
    at = -1;
  }
  for (const ActiveUniform& uniform : activeUniforms(pass.program)) {
    const std::string& name = uniform.name;
    const GLint size = uniform.size;
    const GLenum type = uniform.type;
    std::string base(name);
    const bool array = base.size() > 3 && base.compare(base.size() - 3, 3, "[0]") == 0;
    if (array) {
      base.resize(base.size() - 3);
    }
    for (int k = 0; k < kInputCount; ++k) {
      if (base != wants[k].name) {
        continue;
      }
      // An array's active size is its highest index read + 1, so any size fits.
      if (wants[k].type != 0 && (type != wants[k].type || array != (k == kBandsIn || k == kPeaks) || size > kBands)) {
        wrong.push_back(std::string("\"") + wants[k].name + "\" should be declared as " + wants[k].typeName +
                        "; it is not fed");
        break;
      }
      pass.at[k] = glGetUniformLocation(pass.program, name.c_str());
    }
  }
  return wrong;
}

void Picture::bindUnits(const Pass& pass) {
  // Samplers read fixed texture units: waveform 1, images 2-5, cover 6,
  // previous 7, Shadertoy's channels 8-11, the waveform's history 12, the
  // bands' history 13, the waveform's history in pairs 14.
  const int units[][2] = {{kWaveformIn, 1}, {kImage0, 2},    {kImage1, 3},    {kImage2, 4},
                          {kImage3, 5},     {kCover, 6},     {kPrevious, 7},  {kIChannel0, 8},
                          {kIChannel1, 9},  {kIChannel2, 10}, {kIChannel3, 11}, {kWaveHistoryIn, 12},
                          {kBandHistoryIn, 13}, {kWavePairsIn, 14}};
  for (const auto& unit : units) {
    if (pass.at[unit[0]] >= 0) {
      GL_CALL(glProgramUniform1i(pass.program, pass.at[unit[0]], unit[1]));
    }
  }
}

namespace {

// Each history sample and the one after it (the last column's is itself)
// as 16-bit fixed point over -1..1, high byte first: texel (x, k) holds
// (x, k) and (x + 1, k), what a line between neighbouring samples reads.
void packWavePairs(const float* history, std::vector<uint8_t>& out) {
  out.resize(static_cast<size_t>(kWaveform) * kWaveHistory * 4);
  // A sample that is not a number (a broken float file) is silence here.
  auto fixed = [](float v) {
    return static_cast<unsigned>((std::isfinite(v) ? std::clamp(v, -1.0f, 1.0f) + 1.0f : 1.0f) * 32767.5f + 0.5f);
  };
  for (int row = 0; row < kWaveHistory; ++row) {
    const float* samples = history + static_cast<ptrdiff_t>(row) * kWaveform;
    uint8_t* texel = out.data() + static_cast<size_t>(row) * kWaveform * 4;
    for (int x = 0; x < kWaveform; ++x, texel += 4) {
      const unsigned here = fixed(samples[x]);
      const unsigned next = fixed(samples[std::min(x + 1, kWaveform - 1)]);
      texel[0] = static_cast<uint8_t>(here >> 8);
      texel[1] = static_cast<uint8_t>(here & 255);
      texel[2] = static_cast<uint8_t>(next >> 8);
      texel[3] = static_cast<uint8_t>(next & 255);
    }
  }
}

}  // namespace

void Picture::uploadWavePairs(const float* history) {
  packWavePairs(history, wavePairBytes_);
  GL_CALL(glBindTexture(GL_TEXTURE_2D, wavePairs_));
  GL_CALL(glPixelStorei(GL_UNPACK_ALIGNMENT, 4));
  GL_CALL(glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, kWaveform, kWaveHistory, GL_RGBA, GL_UNSIGNED_BYTE,
                          wavePairBytes_.data()));
}

void Picture::setInputs(const AudioInputs& inputs) {
  setSpectrum(inputs.spectrum);
  inputs_ = inputs;
  bool waveform = false;
  bool history = false;
  bool pairs = false;
  bool music = false;
  for (const Pass& pass : passes_) {
    waveform = waveform || pass.at[kWaveformIn] >= 0;
    history = history || pass.at[kWaveHistoryIn] >= 0;
    pairs = pairs || pass.at[kWavePairsIn] >= 0;
    music = music || std::any_of(pass.channels.begin(), pass.channels.end(),
                                 [](const Channel& c) { return c.kind == ChannelKind::Music; });
  }
  if (waveform) {
    GL_CALL(glBindTexture(GL_TEXTURE_2D, waveform_));
    GL_CALL(glPixelStorei(GL_UNPACK_ALIGNMENT, 4));
    GL_CALL(glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, kWaveform, 1, GL_RED, GL_FLOAT, inputs.waveform.data()));
  }
  if (history) {
    GL_CALL(glBindTexture(GL_TEXTURE_2D, waveHistory_));
    GL_CALL(glPixelStorei(GL_UNPACK_ALIGNMENT, 4));
    GL_CALL(glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, kWaveform, kWaveHistory, GL_RED, GL_FLOAT,
                            inputs.waveHistory.data()));
  }
  if (pairs) {
    uploadWavePairs(inputs.waveHistory.data());
  }
  if (readsBandHistory()) {
    GL_CALL(glBindTexture(GL_TEXTURE_2D, bandHistory_));
    GL_CALL(glPixelStorei(GL_UNPACK_ALIGNMENT, 4));
    GL_CALL(glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, kBands, kBandHistory, GL_RED, GL_FLOAT,
                            inputs.bandHistory.data()));
  }
  if (music) {
    channels_.setMusic(inputs.browser.data(), wantsMipmaps(ChannelKind::Music, 0));
  }
}

bool Picture::wantsMipmaps(ChannelKind kind, int index) const {
  for (const Pass& pass : passes_) {
    for (const Channel& c : pass.channels) {
      if (c.kind == kind && (kind != ChannelKind::Buffer || c.index == index) && c.filter == ChannelFilter::Mipmap) {
        return true;
      }
    }
  }
  return false;
}


Status Picture::setImage(int slot, ImageSource image) {
  if (slot < 0 || slot >= 4) {
    return Status();
  }
  const bool empty = image == nullptr || image->width() <= 0 || image->height() <= 0;
  imageSizes_[slot][0] = static_cast<float>(empty ? 1 : image->width());
  imageSizes_[slot][1] = static_cast<float>(empty ? 1 : image->height());
  given_[slot] = std::move(image);
  imageUploaded_[slot] = false;
  channels_.forgetGiven(slot);
  return uploadReadImages();
}

// The images the passes read and that are not uploaded yet: as image0-3
// (rows bottom-up, with mipmaps) and as Shadertoy channels (the flip the
// channel asks for). An image nobody reads costs no texture.
Status Picture::uploadReadImages() {
  static const SharedImage none = std::make_shared<const Image>();
  for (int slot = 0; slot < 4; ++slot) {
    const bool read = std::any_of(passes_.begin(), passes_.end(), [slot](const Pass& p) { return p.at[kImage0 + slot] >= 0; });
    const bool readAsChannel = std::any_of(passes_.begin(), passes_.end(), [slot](const Pass& p) {
      return std::any_of(p.channels.begin(), p.channels.end(),
                         [slot](const Channel& c) { return c.kind == ChannelKind::Given && c.index == slot; });
    });
    if (!read && !readAsChannel) {
      continue;  // never decoded
    }
    Result<SharedImage> pixels = given_[slot] ? given_[slot]->pixels() : Result<SharedImage>(none);
    if (!pixels) {
      return pixels.status();
    }
    const Image& image = *pixels.value();
    imageSizes_[slot][0] = static_cast<float>(image.empty() ? 1 : image.width);
    imageSizes_[slot][1] = static_cast<float>(image.empty() ? 1 : image.height);
    if (read && !imageUploaded_[slot]) {
      if (const Status taken = uploadImage(images_[slot], image, true, true, kClearTexel); !taken) {
        return taken;
      }
      imageUploaded_[slot] = true;
    }
    for (const Pass& pass : passes_) {
      for (const Channel& channel : pass.channels) {
        if (channel.kind != ChannelKind::Given || channel.index != slot) {
          continue;
        }
        if (const Status given = channels_.setGiven(slot, channel.vflip, image); !given) {
          return given;
        }
      }
    }
  }
  return Status();
}

Status Picture::setCover(const Image& image) {
  if (const Status taken = uploadImage(cover_, image, true, true, kClearTexel); !taken) {
    return taken;
  }
  imageSizes_[4][0] = static_cast<float>(image.empty() ? 1 : image.width);
  imageSizes_[4][1] = static_cast<float>(image.empty() ? 1 : image.height);
  return Status();
}

void Picture::clearPrevious() {
  previousClear_ = true;
  bufferWidth_ = 0;  // reallocated, at zero, at the next draw
}

bool Picture::readsTempo() const {
  const int tempo[] = {kBpm, kBeatPhase, kBeatIndex, kBarPhase, kBarIndex, kIBpm, kIBeatPhase, kIBarPhase};
  return std::any_of(passes_.begin(), passes_.end(), [&](const Pass& p) {
    return std::any_of(std::begin(tempo), std::end(tempo), [&](int input) { return p.at[input] >= 0; });
  });
}

bool Picture::readsWholeSong() const {
  const int summed[] = {kBassTime, kMidTime, kTrebleTime, kLevelTime, kBeats,
                        kIBassTime, kIMidTime, kITrebleTime, kILevelTime};
  return std::any_of(passes_.begin(), passes_.end(), [&](const Pass& p) {
    return std::any_of(std::begin(summed), std::end(summed), [&](int input) { return p.at[input] >= 0; });
  });
}

bool Picture::readsBandHistory() const {
  return std::any_of(passes_.begin(), passes_.end(), [](const Pass& p) { return p.at[kBandHistoryIn] >= 0; });
}

bool Picture::readsPrevious() const {
  // A pass reading a buffer drawn at or after it in the frame reads the
  // frame before: that is history. A buffer drawn earlier is this frame's.
  for (size_t i = 0; i < passes_.size(); ++i) {
    if (passes_[i].at[kPrevious] >= 0) {
      return true;
    }
    for (const Channel& channel : passes_[i].channels) {
      if (channel.kind != ChannelKind::Buffer) {
        continue;
      }
      for (size_t j = i; j < passes_.size(); ++j) {
        if (passes_[j].buffer == channel.index) {
          return true;
        }
      }
    }
  }
  return false;
}

bool Picture::readsCover() const {
  return std::any_of(passes_.begin(), passes_.end(),
                     [](const Pass& p) { return p.at[kCover] >= 0 || p.at[kCoverSize] >= 0; });
}

void Picture::setSpectrum(const std::vector<float>& spectrum) {
  GL_CALL(glBindBuffer(GL_SHADER_STORAGE_BUFFER, spectrum_));
  const size_t count = std::min<size_t>(spectrum.size(), kSpectrumSize);
  GL_CALL(glBufferSubData(GL_SHADER_STORAGE_BUFFER, 0, static_cast<GLsizeiptr>(count * sizeof(float)),
                          spectrum.data()));
}

namespace {

// The rows the title leaves whole: with it below the middle, those above it
// (and the other way round), a margin of 3% of the height away, moving there
// as it fades in and back as it fades out.
std::pair<float, float> titleClearRows(const float box[4], float shown, float height) {
  float bottom = 0;
  float top = height;
  if (box[3] > box[1]) {
    const float margin = 0.03f * height;
    if (box[1] + box[3] < height) {
      bottom = box[3] + margin;
    } else {
      top = box[1] - margin;
    }
  }
  return {bottom * shown, height + (top - height) * shown};
}

}  // namespace

void Picture::feedStudioInputs(const Pass& pass, int width, int height, const FrameTimes& times) {
  const GLint* at = pass.at;
  const std::pair<int, float> floats[] = {{kAspect, static_cast<float>(height) / static_cast<float>(width)},
                                          {kItime, static_cast<float>(times.seconds)},
                                          {kBass, inputs_.bass},
                                          {kMid, inputs_.mid},
                                          {kTreble, inputs_.treble},
                                          {kLevel, inputs_.level},
                                          {kLoudness, inputs_.loudness},
                                          {kBeat, inputs_.beat},
                                          {kBassTime, static_cast<float>(inputs_.bassTime)},
                                          {kMidTime, static_cast<float>(inputs_.midTime)},
                                          {kTrebleTime, static_cast<float>(inputs_.trebleTime)},
                                          {kLevelTime, static_cast<float>(inputs_.levelTime)},
                                          {kDelta, static_cast<float>(times.delta)},
                                          {kBandHistorySeconds, inputs_.bandHistorySeconds},
                                          {kTitleShown, titleShown_},
                                          {kProgress, static_cast<float>(times.progress)},
                                          {kBpm, static_cast<float>(times.beat.bpm)},
                                          {kBeatPhase, static_cast<float>(times.beat.beatPhase)},
                                          {kBarPhase, static_cast<float>(times.beat.barPhase)}};
  for (const auto& [input, value] : floats) {
    if (at[input] >= 0) {
      GL_CALL(glUniform1f(at[input], value));
    }
  }
  if (at[kBandsIn] >= 0) {
    GL_CALL(glUniform1fv(at[kBandsIn], kBands, inputs_.bands.data()));
  }
  if (at[kPeaks] >= 0) {
    GL_CALL(glUniform1fv(at[kPeaks], kBands, inputs_.peaks.data()));
  }
  const std::pair<int, GLint> ints[] = {{kTransparent, transparent_ ? 1 : 0},
                                         {kBeatIndex, times.beat.beatIndex},
                                         {kBarIndex, times.beat.barIndex},
                                         {kBeats, inputs_.beats},
                                         {kFrame, static_cast<GLint>(times.frame)},
                                         {kLayer, layer_}};
  for (const auto& [input, value] : ints) {
    if (at[input] >= 0) {
      GL_CALL(glUniform1i(at[input], value));
    }
  }
  feedPlaces(pass, width, height);
}

// Where things are in the pass's own pixels: the title's box and the rows it
// keeps clear, the pass's size, the images' sizes.
void Picture::feedPlaces(const Pass& pass, int width, int height) {
  const GLint* at = pass.at;
  // The title's box is kept in the frame's pixels; a draw at a smaller scale
  // reads it in its own.
  const float scale = static_cast<float>(drawScale_);
  const float box[4] = {titleBox_[0] * scale, titleBox_[1] * scale, titleBox_[2] * scale, titleBox_[3] * scale};
  if (at[kTitleBox] >= 0) {
    GL_CALL(glUniform4fv(at[kTitleBox], 1, box));
  }
  if (at[kTitleClear] >= 0) {
    const std::pair<float, float> rows = titleClearRows(box, titleShown_, static_cast<float>(height));
    GL_CALL(glUniform2f(at[kTitleClear], rows.first, rows.second));
  }
  if (at[kResolution] >= 0) {
    GL_CALL(glUniform2f(at[kResolution], static_cast<float>(width), static_cast<float>(height)));
  }
  for (int k = 0; k < 5; ++k) {
    const int sizeAt = at[k < 4 ? kImage0Size + k : kCoverSize];
    if (sizeAt >= 0) {
      GL_CALL(glUniform2f(sizeAt, imageSizes_[k][0], imageSizes_[k][1]));
    }
  }
}

void Picture::feedShadertoy(const Pass& pass, int width, int height, const FrameTimes& times) {
  const GLint* at = pass.at;
  const std::pair<int, double> floats[] = {
      {kITime, times.seconds},          {kITimeDelta, times.delta},        {kIFrameRate, times.rate},
      {kISampleRate, times.sampleRate}, {kIBassTime, inputs_.bassTime},    {kIMidTime, inputs_.midTime},
      {kITrebleTime, inputs_.trebleTime}, {kILevelTime, inputs_.levelTime}, {kIBpm, times.beat.bpm},
      {kIBeatPhase, times.beat.beatPhase}, {kIBarPhase, times.beat.barPhase}};
  for (const auto& [input, value] : floats) {
    if (at[input] >= 0) {
      GL_CALL(glUniform1f(at[input], static_cast<float>(value)));
    }
  }
  if (at[kIResolution] >= 0) {
    GL_CALL(glUniform3f(at[kIResolution], static_cast<float>(width), static_cast<float>(height), 1.0f));
  }
  if (at[kIFrame] >= 0) {
    GL_CALL(glUniform1i(at[kIFrame], static_cast<GLint>(times.frame)));
  }
  if (at[kIDate] >= 0) {
    GL_CALL(glUniform4fv(at[kIDate], 1, times.date));
  }
  if (at[kIMouse] >= 0) {
    GL_CALL(glUniform4fv(at[kIMouse], 1, times.mouse));
  }
  float channelTimes[4] = {};
  float sizes[4][3] = {};
  for (int c = 0; c < 4; ++c) {
    const Channel& channel = pass.channels[static_cast<size_t>(c)];
    const ChannelTexture texture = channels_.of(channel);
    const bool buffer = channel.kind == ChannelKind::Buffer;
    sizes[c][0] = buffer ? static_cast<float>(width) : texture.size[0];
    sizes[c][1] = buffer ? static_cast<float>(height) : texture.size[1];
    sizes[c][2] = buffer ? 1.0f : texture.size[2];
    channelTimes[c] = channel.kind == ChannelKind::Music ? static_cast<float>(times.seconds) : 0.0f;
    GL_CALL(glActiveTexture(static_cast<GLenum>(GL_TEXTURE8 + c)));
    GL_CALL(glBindTexture(texture.target, buffer ? targets_[channel.index][front_[channel.index]] : texture.texture));
    GL_CALL(glBindSampler(static_cast<GLuint>(8 + c), pass.samplers[c]));
  }
  GL_CALL(glActiveTexture(GL_TEXTURE0));
  if (at[kIChannelTime] >= 0) {
    GL_CALL(glUniform1fv(at[kIChannelTime], 4, channelTimes));
  }
  if (at[kIChannelResolution] >= 0) {
    GL_CALL(glUniform3fv(at[kIChannelResolution], 4, &sizes[0][0]));
  }
}

// Buffers at the output size, zero, at the first frame, after a resize and after a seek.
