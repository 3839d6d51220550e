// shaderSource.cpp — see shaderSource.h.
#include "picture/shaderSource.h"

#include "base/places.h"
#include "base/text.h"

#include <algorithm>
#include <cctype>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

const char* const kShadertoyVertex = R"(#version 300 es
layout(location = 0) in vec3 aPos;
void main() {
    gl_Position = vec4(aPos, 1.0);
}
)";

bool isPairFolder(const std::string& dir) {
  std::error_code ec;
  return fs::exists(dir + "/Quad.frag.glsl", ec) || fs::exists(dir + "/Quad.vert.glsl", ec);
}

std::vector<std::string> shaderDirCandidates() {
  std::vector<std::string> places = {"Shaders"};
  for (const std::string& place : shippedPlaces("Shaders")) {
    places.push_back(place);
  }
  return places;
}

}  // namespace

std::string defaultShaderDir() {
  for (const std::string& dir : shaderDirCandidates()) {
    if (isPairFolder(dir)) {
      return dir == "Shaders" ? dir : fs::weakly_canonical(dir).string();
    }
  }
  return "";
}

std::string noShaderDirMessage() {
  std::string places;
  for (const std::string& dir : shaderDirCandidates()) {
    std::error_code ec;
    places += (places.empty() ? "" : ", ") + fs::weakly_canonical(dir, ec).string();
  }
  return "no shader pair found (looked in " + places +
         "); give a folder holding Quad.vert.glsl and Quad.frag.glsl with --shaders";
}

Result<ShaderSource> findShaderSource(const std::string& path) {
  ShaderSource out;
  std::error_code ec;
  const auto status = fs::status(path, ec);
  if (!fs::exists(status)) {
    return Status::failure("cannot read the shaders " + path + ": No such file or directory");
  }
  if (fs::is_regular_file(status)) {
    const fs::path file(path);
    out.form = hasExtension(path, ".json") ? ShaderForm::Export : ShaderForm::Shadertoy;
    out.folder = file.has_parent_path() ? file.parent_path().string() : ".";
    out.names = {file.filename().string()};
    out.file = path;
    return out;
  }
  if (!fs::is_directory(status)) {
    return Status::failure("cannot read the shaders " + path + ": not a file or a folder");
  }
  out.folder = path;
  if (isPairFolder(path)) {
    out.names = {"Quad.vert.glsl", "Quad.frag.glsl"};
    if (fs::exists(fs::symlink_status(path + "/draw.txt", ec))) {
      out.names.push_back("draw.txt");
    }
    return out;
  }
  bool image = false;
  for (const auto& entry : fs::directory_iterator(path, ec)) {
    const std::string name = entry.path().filename().string();
    const std::string pass = passOfFile(name);
    if (!pass.empty() || name == "channels.txt") {
      out.names.push_back(name);
    }
    image = image || pass == "image";
  }
  if (!image) {
    return Status::failure("cannot read the shaders in " + path +
            ": it holds neither Quad.vert.glsl and Quad.frag.glsl nor Shadertoy's image.glsl (No such file or directory)");
  }
  std::sort(out.names.begin(), out.names.end());
  out.form = ShaderForm::Folder;
  return out;
}

std::vector<std::string> shaderFiles(const std::string& path, const std::vector<ChannelSetting>& settings) {
  std::vector<std::string> files;
  const Result<ShaderSource> found = path.empty() ? Result<ShaderSource>(Status::failure("")) : findShaderSource(path);
  if (!found) {
    return files;
  }
  const ShaderSource& source = found.value();
  for (const std::string& name : source.names) {
    files.push_back(source.form == ShaderForm::Pair || source.form == ShaderForm::Folder ? source.folder + "/" + name
                                                                                         : source.file);
  }
  // The images its channels show are read too.
  const Result<PictureSource> picture = readPictureSource(source, settings);
  for (const PassSource& pass : picture ? picture.value().passes : std::vector<PassSource>{}) {
    for (const Channel& channel : pass.channels) {
      const std::vector<std::string> read = channelFiles(channel);
      files.insert(files.end(), read.begin(), read.end());
    }
  }
  return files;
}

namespace {

std::array<const char*, 4> channelTypes(const std::array<Channel, 4>& channels) {
  std::array<const char*, 4> types{};
  for (size_t c = 0; c < 4; ++c) {
    types[c] = channelType(channels[c].kind);
  }
  return types;
}

// A channel the code declares with another type than its input's gets the
// stand-in of the declared type (a cubemap declared by hand is the usual case).
void matchDeclaredTypes(const std::array<std::string, 4>& declared, PassSource& pass, std::vector<std::string>& notes) {
  for (size_t c = 0; c < 4; ++c) {
    Channel& channel = pass.channels[c];
    if (declared[c].empty() || declared[c] == channelType(channel.kind)) {
      continue;
    }
    const ChannelKind standIn = declared[c] == "samplerCube" ? ChannelKind::Cube
                                : declared[c] == "sampler3D" ? ChannelKind::Volume
                                                             : ChannelKind::Black;
    notes.push_back(pass.fragment.path + ": iChannel" + std::to_string(c) + " is declared a " + declared[c] +
                    (standIn == ChannelKind::Cube ? ": drawing a generated sky there"
                     : standIn == ChannelKind::Volume ? ": drawing generated noise there"
                                                      : ": it is black"));
    channel = siteDefaults(standIn);
  }
}

Result<ShadertoyShader> readShadertoy(const ShaderSource& source) {
  if (source.form == ShaderForm::Export) {
    return readShadertoyJson(source.file);
  }
  if (source.form == ShaderForm::Folder) {
    return readShadertoyFolder(source.folder);
  }
  const Result<ShaderFile> user = readShaderFile(source.file);
  if (!user) {
    return user.status();
  }
  ShadertoyShader shader;
  shader.passes.push_back(ShadertoyPass{"image", -1, source.file, user.value().text,
                                        {siteDefaults(ChannelKind::Music), siteDefaults(ChannelKind::Given, 0),
                                         siteDefaults(ChannelKind::Given, 1), siteDefaults(ChannelKind::Given, 2)}});
  if (definesMainSound(user.value().text)) {
    shader.sound.push_back(ShadertoyPass{"sound", -1, source.file, user.value().text, {}});
    shader.notes.push_back(source.file + kSoundLeftOut);
  }
  return shader;
}

// A pair's two stages and its draw.txt.
Result<PictureSource> readPairSource(const std::string& folder, const std::vector<ChannelSetting>& settings) {
  PassSource pass;
  pass.name = "image";
  const Result<ShaderPair> pair = readShaderPair(folder);
  if (!pair) {
    return pair.status();
  }
  pass.vertex = pair.value().vertex;
  pass.fragment = pair.value().fragment;
  const Result<DrawPlan> draw = readDrawPlan(folder);
  if (!draw) {
    return draw.status();
  }
  pass.draw = draw.value();
  if (!settings.empty()) {
    return Status::failure("--channel is for Shadertoy's form; " + folder + " holds a shader pair");
  }
  PictureSource out;
  out.passes.push_back(pass);
  return out;
}

// One of a shader's passes wrapped in Shadertoy's form (a Sound pass with
// the main that writes its samples), ready to build.
Result<PassSource> wrappedPass(const ShadertoyPass& given, const ShadertoyShader& shader, bool sound,
                               std::vector<std::string>& notes) {
  PassSource pass;
  pass.name = given.name;
  pass.buffer = given.buffer;
  pass.shadertoy = true;
  pass.channels = given.channels;
  pass.commonPath = shader.commonWhere;
  WrapOptions options;
  options.common = shader.common;
  options.buffer = given.buffer >= 0;
  options.types = channelTypes(given.channels);
  const Result<WrappedShadertoy> wrapped = sound ? wrapShadertoySound(given.code, options)
                                                 : wrapShadertoy(given.code, options);
  if (!wrapped) {
    return Status::failure(given.where + ": " + wrapped.why());
  }
  pass.vertex = ShaderFile{given.where + " (vertex stage)", kShadertoyVertex};
  pass.fragment = ShaderFile{given.where, wrapped.value().text};
  for (const std::string& other : wrapped.value().otherOrders) {
    pass.otherForms.push_back(ShaderFile{given.where, other});
  }
  matchDeclaredTypes(wrapped.value().declared, pass, notes);
  return pass;
}

// A single file with mainSound and no mainImage.
bool soundOnly(const ShaderSource& source, const ShadertoyShader& shader) {
  if (source.form != ShaderForm::Shadertoy || shader.sound.empty()) {
    return false;
  }
  return !definesMainImage(shader.passes.front().code);
}

}  // namespace

Result<std::optional<PassSource>> readSoundSource(const ShaderSource& source, const std::vector<ChannelSetting>& settings) {
  if (source.form == ShaderForm::Pair) {
    return std::optional<PassSource>();
  }
  Result<ShadertoyShader> shader = readShadertoy(source);
  if (!shader) {
    return shader.status();
  }
  if (const Status set = applyChannelSettings(shader.value(), settings); !set) {
    return set;
  }
  if (shader.value().sound.empty()) {
    return std::optional<PassSource>();
  }
  std::vector<std::string> notes;
  Result<PassSource> pass = wrappedPass(shader.value().sound.front(), shader.value(), true, notes);
  if (!pass) {
    return pass.status();
  }
  return std::optional<PassSource>(pass.value());
}

Result<PictureSource> readPictureSource(const ShaderSource& source, const std::vector<ChannelSetting>& settings) {
  if (source.form == ShaderForm::Pair) {
    return readPairSource(source.folder, settings);
  }
  Result<ShadertoyShader> shader = readShadertoy(source);
  if (!shader) {
    return shader.status();
  }
  if (soundOnly(source, shader.value())) {
    // A file that only writes music plays under the default picture.
    const std::string pair = defaultShaderDir();
    if (pair.empty()) {
      return Status::failure(noShaderDirMessage());
    }
    Result<PictureSource> plain = readPairSource(pair, {});
    if (plain) {
      plain.value().notes = shader.value().notes;
    }
    return plain;
  }
  const Status set = applyChannelSettings(shader.value(), settings);
  if (!set) {
    return set;
  }
  PictureSource out;
  out.notes = shader.value().notes;
  for (const ShadertoyPass& given : shader.value().passes) {
    Result<PassSource> pass = wrappedPass(given, shader.value(), false, out.notes);
    if (!pass) {
      return pass.status();
    }
    out.passes.push_back(pass.value());
  }
  return out;
}
