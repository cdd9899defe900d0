#include "tools/pellpkg/manifest.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "packages/package_file.h"
#include "packages/version.h"

namespace vl::pkgbuild {
namespace {

using nlohmann::json;

bool readWhole(const std::string& path, std::string& out, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) {
    error = "cannot read " + path;
    return false;
  }
  out = text.str();
  return true;
}

std::string directoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
}

std::string resolve(const std::string& base, const std::string& path) {
  return !path.empty() && path[0] == '/' ? path : base + "/" + path;
}

// A version as text ("7.1beta4") or as its packed number.
bool versionField(const json& object, const char* key, Version& out, std::string& error) {
  if (!object.contains(key)) return true;
  const json& value = object.at(key);
  if (value.is_number_unsigned() && value.get<std::uint64_t>() <= 0xFFFFFFFFu) {
    out = static_cast<Version>(value.get<std::uint64_t>());
    return true;
  }
  if (value.is_string()) {
    out = parseVersion(value.get<std::string>());
    if (out != kNoVersion) return true;
  }
  error = std::string("\"") + key + "\": not a version: " + value.dump();
  return false;
}

bool textField(const json& object, const char* key, std::optional<std::string>& out,
               std::string& error) {
  if (!object.contains(key)) return true;
  if (!object.at(key).is_string()) {
    error = std::string("\"") + key + "\" must be a text";
    return false;
  }
  out = object.at(key).get<std::string>();
  return true;
}

bool nameOk(const std::string& name, std::string& error) {
  if (name.empty() || name.size() > kNameFieldSize || hasControlCharacter(name)) {
    error = "a name must have 1 to 16 characters, none a control character: \"" + name + "\"";
    return false;
  }
  return true;
}

bool relations(const json& object, const char* key, std::vector<Relation>& out,
               std::string& error) {
  if (!object.contains(key)) return true;
  const json& list = object.at(key);
  if (!list.is_array() || list.size() > 0xFFFF) {
    error = std::string("\"") + key + "\" must be a list of at most 65535 entries";
    return false;
  }
  for (const json& entry : list) {
    Relation r;
    if (entry.is_string()) {
      r.name = entry.get<std::string>();
    } else if (entry.is_object() && entry.contains("name") && entry.at("name").is_string()) {
      r.name = entry.at("name").get<std::string>();
      if (!versionField(entry, "min", r.minimum, error) ||
          !versionField(entry, "max", r.maximum, error)) {
        return false;
      }
      if (entry.contains("priority")) {
        const json& p = entry.at("priority");
        if (!p.is_number_integer() || p.get<std::int64_t>() < INT32_MIN ||
            p.get<std::int64_t>() > INT32_MAX) {
          error = "\"priority\" must be a 32-bit integer";
          return false;
        }
        r.priority = static_cast<std::int32_t>(p.get<std::int64_t>());
      }
    } else {
      error = std::string("an entry of \"") + key + "\" needs a \"name\"";
      return false;
    }
    if (!nameOk(r.name, error)) return false;
    out.push_back(r);
  }
  return true;
}

bool flagsField(const json& object, std::optional<std::uint32_t>& out, std::string& error) {
  if (!object.contains("flags")) return true;
  const json& value = object.at("flags");
  if (value.is_number_unsigned() && value.get<std::uint64_t>() <= 0xFFFFFFFFu) {
    out = static_cast<std::uint32_t>(value.get<std::uint64_t>());
    return true;
  }
  if (!value.is_array()) {
    error = "\"flags\" must be a number or a list of \"boot-image\", \"no-metadata\"";
    return false;
  }
  std::uint32_t flags = 0;
  for (const json& f : value) {
    const std::string name = f.is_string() ? f.get<std::string>() : f.dump();
    if (name == "boot-image") {
      flags |= kFlagBootImage;
    } else if (name == "no-metadata") {
      flags |= kFlagNoMetadata;
    } else {
      error = "unknown flag " + name;
      return false;
    }
  }
  out = flags;
  return true;
}

bool loadPackage(const json& object, const std::string& base, std::uint32_t defaultBuildTime,
                 PackageSource& p, std::string& error) {
  if (!object.is_object()) {
    error = "a package manifest must be a JSON object";
    return false;
  }
  if (!object.contains("name") || !object.at("name").is_string()) {
    error = "\"name\" is missing";
    return false;
  }
  p.name = object.at("name").get<std::string>();
  if (!nameOk(p.name, error)) return false;
  if (!isSafePackageName(p.name)) {
    error = "a package name may not begin with \".\" nor hold \"/\": \"" + p.name + "\"";
    return false;
  }
  if (!object.contains("version")) {
    error = "\"version\" is missing";
    return false;
  }
  if (!versionField(object, "version", p.version, error)) return false;
  p.buildTime = defaultBuildTime;
  if (object.contains("build-time")) {
    const json& t = object.at("build-time");
    if (!t.is_number_unsigned() || t.get<std::uint64_t>() > 0xFFFFFFFFu) {
      error = "\"build-time\" must be seconds since 1970 (32 bits)";
      return false;
    }
    p.buildTime = static_cast<std::uint32_t>(t.get<std::uint64_t>());
  }
  if (!flagsField(object, p.flags, error) ||
      !textField(object, "architecture", p.architecture, error) ||
      !textField(object, "text2", p.text2, error) ||
      !textField(object, "text24", p.text24, error) || !textField(object, "note", p.note, error) ||
      !relations(object, "dependencies", p.dependencies, error) ||
      !relations(object, "provides", p.provides, error) ||
      !relations(object, "conflicts", p.conflicts, error)) {
    return false;
  }
  std::optional<std::string> image, files;
  if (!textField(object, "image", image, error) || !textField(object, "files", files, error)) {
    return false;
  }
  if (image) {
    std::string bytes;
    if (!readWhole(resolve(base, *image), bytes, error)) return false;
    p.image = Bytes(bytes.begin(), bytes.end());
  }
  p.hasFiles = files.has_value();
  if (files) {
    auto tree = readTree(resolve(base, *files), error);
    if (!tree) return false;
    p.files = std::move(*tree);
  }
  return true;
}

bool walk(const std::string& root, const std::string& relative, std::vector<ArchiveFile>& out,
          std::string& error) {
  const std::string dir = relative.empty() ? root : root + "/" + relative;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) {
    error = "cannot open directory " + dir + ": " + std::strerror(errno);
    return false;
  }
  std::vector<std::string> names;
  while (const dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    const std::string entry = relative.empty() ? name : relative + "/" + name;
    // The board keeps a package's names one per line in its files list: a line feed or
    // any other control byte in a name would turn into another path there.
    if (hasControlCharacter(name)) {
      error = "control character in a file name under " + dir;
      return false;
    }
    const std::string path = root + "/" + entry;
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) {
      error = "cannot stat " + path + ": " + std::strerror(errno);
      return false;
    }
    if (entry.size() > 0xFFFF) {
      error = "name too long for the archive: " + entry;
      return false;
    }
    ArchiveFile file{entry, static_cast<std::uint16_t>(st.st_mode & 0xFFFF), {}, false};
    if (S_ISREG(st.st_mode)) {
      if (static_cast<std::uint64_t>(st.st_size) > 0xFFFFFFFFu) {
        error = "file too large for the archive (4 GiB at most): " + path;
        return false;
      }
      if (!readWhole(path, file.data, error)) return false;
      out.push_back(std::move(file));
    } else if (S_ISLNK(st.st_mode)) {
      char target[4096];
      const ssize_t n = readlink(path.c_str(), target, sizeof target);
      if (n < 0) {
        error = "cannot read link " + path + ": " + std::strerror(errno);
        return false;
      }
      file.data.assign(target, static_cast<std::size_t>(n));
      out.push_back(std::move(file));
    } else if (S_ISDIR(st.st_mode)) {
      out.push_back(std::move(file));
      if (!walk(root, entry, out, error)) return false;
    } else {
      error = "neither a file, a directory nor a link: " + path;
      return false;
    }
  }
  return true;
}

}  // namespace

std::optional<std::vector<ArchiveFile>> readTree(const std::string& root, std::string& error) {
  std::vector<ArchiveFile> files;
  if (!walk(root, "", files, error)) return std::nullopt;
  return files;
}

namespace {

// A member manifest's own members are not loaded: a member cannot be a bundle, and a
// manifest that names itself (or its bundle) as a member would recurse without end.
std::optional<Manifest> loadManifestAs(const std::string& path, std::uint32_t defaultBuildTime,
                                       bool member, std::string& error) {
  std::string text;
  if (!readWhole(path, text, error)) return std::nullopt;
  const json object = json::parse(text, nullptr, false);
  if (object.is_discarded()) {
    error = path + ": not valid JSON";
    return std::nullopt;
  }
  const std::string base = directoryOf(path);
  Manifest manifest;
  try {
    if (!loadPackage(object, base, defaultBuildTime, manifest.package, error)) {
      error = path + ": " + error;
      return std::nullopt;
    }
    if (!object.contains("members")) return manifest;
    manifest.isBundle = true;
    if (member) return manifest;
    const json& members = object.at("members");
    if (!members.is_array() || members.empty()) {
      error = path + ": \"members\" must be a list of at least one package";
      return std::nullopt;
    }
    for (const json& member : members) {
      if (member.is_string()) {
        auto loaded =
            loadManifestAs(resolve(base, member.get<std::string>()), defaultBuildTime, true, error);
        if (!loaded) return std::nullopt;
        if (loaded->isBundle) {
          error = path + ": a bundle member cannot be a bundle";
          return std::nullopt;
        }
        manifest.members.push_back(std::move(loaded->package));
        continue;
      }
      PackageSource p;
      if (!loadPackage(member, base, defaultBuildTime, p, error)) {
        error = path + ": member: " + error;
        return std::nullopt;
      }
      manifest.members.push_back(std::move(p));
    }
    if (object.contains("choices")) {
      std::vector<Relation> choices;
      if (!relations(object, "choices", choices, error)) {
        error = path + ": " + error;
        return std::nullopt;
      }
      manifest.choices = std::move(choices);
    }
  } catch (const nlohmann::json::exception& e) {
    error = path + ": " + e.what();
    return std::nullopt;
  }
  return manifest;
}

}  // namespace

std::optional<Manifest> loadManifest(const std::string& path, std::uint32_t defaultBuildTime,
                                     std::string& error) {
  return loadManifestAs(path, defaultBuildTime, false, error);
}

}  // namespace vl::pkgbuild
