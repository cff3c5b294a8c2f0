#include "vexmor/addin/user_installation.h"

#include <sys/stat.h>

#include <filesystem>
#include <system_error>

#include "vexmor/platform/registry.h"

namespace vexmor::addin {
namespace fs = std::filesystem;

namespace {

// The product's shared libraries, the add-in's neighbours that it loads by its own folder.
bool IsProductLibrary(const std::string& name) {
  return name.starts_with("libVexmor_") && name.ends_with(".so");
}

// A link "link" to "target", replacing an older link; anything else under that name stays
// and is refused.
Status LinkTo(const fs::path& target, const fs::path& link) {
  std::error_code error;
  const fs::file_status existing = fs::symlink_status(link, error);
  if (fs::exists(existing)) {
    if (!fs::is_symlink(existing)) {
      return Status::InvalidArgument(link.string() + " exists and is not a link; not replaced");
    }
    fs::remove(link, error);
  }
  fs::create_symlink(target, link, error);
  if (error) return Status::IoError("cannot link " + link.string() + ": " + error.message());
  return Status::Ok();
}

}  // namespace

std::string AccountInstallDirectory(const platform::Registry& registry,
                                    const platform::Paths& paths) {
  StatusOr<platform::RegistryValue> recorded =
      registry.QueryValue(platform::kProductKey, "Installed Path");
  if (recorded.ok() && !recorded->data.empty() && recorded->data[0] == '/') {
    return platform::WithTrailingSlash(recorded->data);
  }
  return platform::UserInstallDirectory(paths);
}

StatusOr<std::string> PlaceAddinLibrary(const std::string& install_dir,
                                        const std::string& library) {
  std::error_code error;
  const fs::path dir = fs::absolute(install_dir, error);
  if (error) return Status::InvalidArgument("bad install directory " + install_dir);
  if (!fs::is_directory(dir, error)) {
    fs::create_directories(dir, error);
    if (error) {
      return Status::IoError("cannot make the install directory " + dir.string() + ": " +
                             error.message());
    }
    // The folder holds the user's account state and logs.
    ::chmod(dir.c_str(), 0700);
  }
  const fs::path source = fs::absolute(library, error);
  const fs::path placed = dir / source.filename();
  // Already there (the same folder, or a link the set-up made): register it as it lies.
  if (fs::weakly_canonical(source.parent_path(), error) == fs::weakly_canonical(dir, error)) {
    return placed.string();
  }
  if (!fs::is_regular_file(source, error)) {
    return Status::NotFound("no add-in library " + source.string());
  }
  for (const fs::directory_entry& entry : fs::directory_iterator(source.parent_path(), error)) {
    const std::string name = entry.path().filename().string();
    if (!IsProductLibrary(name) || !entry.is_regular_file(error)) continue;
    if (Status linked = LinkTo(entry.path(), dir / name); !linked.ok()) return linked;
  }
  if (error) return Status::IoError("cannot read " + source.parent_path().string());
  // The library itself, whatever its name.
  if (!fs::is_symlink(placed, error) || fs::read_symlink(placed, error) != source) {
    if (Status linked = LinkTo(source, placed); !linked.ok()) return linked;
  }
  return placed.string();
}

}  // namespace vexmor::addin
