// project.cpp — see project.h.
#include "server/project.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

namespace {

constexpr int kVersion = 1;
// A project names a few songs and options; anything near this is not one.
constexpr std::uintmax_t kMaxProjectBytes = 1 << 20;

const ProjectOption* findOption(const std::vector<ProjectOption>& table, const std::string& name) {
  const auto found =
      std::find_if(table.begin(), table.end(), [&](const ProjectOption& row) { return row.name == name; });
  return found == table.end() ? nullptr : &*found;
}

// A number as the command line would have been given it: 30, not 30.000000.
std::string numberText(const Json& value) {
  if (value.is_number_integer()) {
    return std::to_string(value.get<long long>());
  }
  if (value.is_number_unsigned()) {
    return std::to_string(value.get<unsigned long long>());
  }
  char text[64];
  std::snprintf(text, sizeof text, "%.17g", value.get<double>());
  return text;
}

Result<std::string> scalarText(const Json& value, const std::string& field) {
  if (value.is_string()) {
    return value.get<std::string>();
  }
  if (value.is_number()) {
    return numberText(value);
  }
  return Status::failure(field + " must be text or a number");
}

Result<std::vector<std::string>> optionValues(const ProjectOption& row, const Json& value, const std::string& field) {
  if (row.kind == ProjectOption::Flag) {
    if (!value.is_boolean()) {
      return Status::failure(field + " must be true or false");
    }
    return std::vector<std::string>{value.get<bool>() ? "true" : "false"};
  }
  if (row.kind == ProjectOption::Many && value.is_array()) {
    std::vector<std::string> values;
    for (size_t i = 0; i < value.size(); ++i) {
      Result<std::string> one = scalarText(value[i], field + "[" + std::to_string(i) + "]");
      if (!one) {
        return one.status();
      }
      values.push_back(one.value());
    }
    return values;
  }
  Result<std::string> one = scalarText(value, field);
  if (!one) {
    return row.kind == ProjectOption::Many ? Status::failure(field + " must be a list, text or a number")
                                           : one.status();
  }
  return std::vector<std::string>{one.value()};
}

Result<std::vector<std::string>> songList(const Json& value) {
  if (!value.is_array()) {
    return Status::failure("songs must be a list of file names");
  }
  std::vector<std::string> songs;
  for (const Json& song : value) {
    if (!song.is_string() || song.get<std::string>().empty()) {
      return Status::failure("songs must be a list of file names");
    }
    songs.push_back(song.get<std::string>());
  }
  return songs;
}

Result<std::string> readAll(const std::string& path) {
  std::error_code error;
  const std::uintmax_t size = fs::file_size(path, error);
  if (error) {
    return Status::failure("cannot read " + path + ": " + error.message());
  }
  if (size > kMaxProjectBytes) {
    return Status::failure(path + " is too large for a project file (" + std::to_string(size) + " bytes)");
  }
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  if (!in) {
    return Status::failure("cannot read " + path + ": " + std::strerror(errno));
  }
  return text.str();
}

Status checkOptions(const Json& options, const std::vector<ProjectOption>& table, Project& project) {
  if (!options.is_object()) {
    return Status::failure("options must be an object of render's options");
  }
  for (const auto& [name, value] : options.items()) {
    const std::string field = "options." + name;
    const ProjectOption* row = findOption(table, name);
    if (row == nullptr) {
      return Status::failure(field + " is not one of render's options");
    }
    if (row->runOnly) {
      return Status::failure(field + " is about one run, not the video; give --" + name + " on the command line");
    }
    Result<std::vector<std::string>> values = optionValues(*row, value, field);
    if (!values) {
      return values.status();
    }
    for (const std::string& one : values.value()) {
      if (const Status taken = row->check ? row->check(one) : Status(); !taken) {
        return Status::failure(field + ": " + taken.why());
      }
    }
    project.options.emplace_back(name, values.value());
  }
  return Status();
}

Status checkFields(const Json& json, const std::vector<ProjectOption>& table, Project& project) {
  if (!json.is_object()) {
    return Status::failure("a project is a JSON object");
  }
  const auto version = json.find("vrax-project");
  if (version == json.end()) {
    return Status::failure("vrax-project (the form's version) is missing");
  }
  if (!version->is_number_integer() || version->get<long long>() != kVersion) {
    return Status::failure("vrax-project must be " + std::to_string(kVersion) +
                           ", the one version this studio reads (got " + version->dump() + ")");
  }
  for (const auto& [name, value] : json.items()) {
    if (name == "vrax-project") {
      continue;
    }
    if (name == "songs") {
      Result<std::vector<std::string>> songs = songList(value);
      if (!songs) {
        return songs.status();
      }
      project.songs = songs.value();
    } else if (name == "output") {
      if (!value.is_string() || value.get<std::string>().empty()) {
        return Status::failure("output must be a file name");
      }
      project.output = value.get<std::string>();
    } else if (name == "options") {
      if (const Status options = checkOptions(value, table, project); !options) {
        return options;
      }
    } else {
      return Status::failure("unknown field \"" + name + "\"");
    }
  }
  const bool shaders = std::any_of(project.options.begin(), project.options.end(),
                                   [](const auto& option) { return option.first == "shaders"; });
  if (project.songs.empty() && !shaders) {
    return Status::failure("songs is missing (only a shader with a Sound pass makes its own)");
  }
  return Status();
}

std::string besideProject(const std::string& project, const std::string& name) {
  const fs::path file(name);
  if (file.is_absolute()) {
    return name;
  }
  const fs::path folder = fs::path(project).parent_path();
  return folder.empty() ? name : (folder / file).lexically_normal().string();
}

std::string relativeTo(const fs::path& folder, const std::string& name) {
  std::error_code error;
  const fs::path absolute = fs::absolute(name, error);
  if (error) {
    return name;
  }
  const fs::path relative = absolute.lexically_proximate(folder);
  return relative.empty() ? name : relative.string();
}

}  // namespace

bool isProjectFile(const std::string& path) {
  constexpr const char* kSuffix = ".vrax.json";
  const size_t n = std::strlen(kSuffix);
  return path.size() > n && path.compare(path.size() - n, n, kSuffix) == 0;
}

Result<Project> projectFromText(const std::string& text, const std::string& where,
                                const std::vector<ProjectOption>& table) {
  Json json;
  try {
    json = Json::parse(text);
  } catch (const Json::parse_error& e) {
    return Status::failure(where + " is not JSON: " + e.what());
  }
  Project project;
  if (const Status fields = checkFields(json, table, project); !fields) {
    return Status::failure(where + ": " + fields.why());
  }
  return project;
}

Result<Project> readProject(const std::string& path, const std::vector<ProjectOption>& table) {
  Result<std::string> text = readAll(path);
  if (!text) {
    return text.status();
  }
  return projectFromText(text.value(), path, table);
}

std::vector<std::string> projectArguments(const Project& project, const std::string& path,
                                          const std::vector<ProjectOption>& table) {
  std::vector<std::string> arguments;
  for (const std::string& song : project.songs) {
    arguments.push_back(besideProject(path, song));
  }
  for (const auto& [name, values] : project.options) {
    const ProjectOption* row = findOption(table, name);
    if (row != nullptr && row->kind == ProjectOption::Flag) {
      if (values.front() == "true") {
        arguments.push_back("--" + name);
      }
      continue;
    }
    for (const std::string& value : values) {
      // "--name=value": a value starting with a dash is still this option's.
      arguments.push_back("--" + name + "=" + value);
    }
  }
  return arguments;
}

Status writeProject(const std::string& path, const Project& project, const std::vector<ProjectOption>& table,
                    bool overwrite) {
  std::error_code error;
  const fs::path folder = fs::absolute(fs::path(path), error).parent_path();
  if (error) {
    return Status::failure("cannot write " + path + ": " + error.message());
  }
  Json json;
  json["vrax-project"] = kVersion;
  Json songs = Json::array();
  for (const std::string& song : project.songs) {
    songs.push_back(relativeTo(folder, song));
  }
  json["songs"] = songs;
  if (!project.output.empty()) {
    json["output"] = relativeTo(folder, project.output);
  }
  Json options = Json::object();
  for (const auto& [name, values] : project.options) {
    const ProjectOption* row = findOption(table, name);
    if (row == nullptr || row->runOnly) {
      continue;
    }
    if (row->kind == ProjectOption::Flag) {
      options[name] = values.front() == "true";
    } else if (row->kind == ProjectOption::One) {
      options[name] = values[0];
    } else {
      options[name] = values;
    }
  }
  json["options"] = options;
  if (!overwrite && fs::exists(path, error)) {
    return Status::failure(path + " exists (--overwrite replaces it)");
  }
  const std::string temp = (folder / ("." + fs::path(path).filename().string() + "." + std::to_string(getpid()))).string();
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out << json.dump(2) << '\n';
    out.flush();
    if (!out) {
      std::remove(temp.c_str());
      return Status::failure("cannot write " + path + ": " + std::strerror(errno));
    }
  }
  if (std::rename(temp.c_str(), path.c_str()) != 0) {
    const std::string why = std::strerror(errno);
    std::remove(temp.c_str());
    return Status::failure("cannot write " + path + ": " + why);
  }
  return Status();
}
