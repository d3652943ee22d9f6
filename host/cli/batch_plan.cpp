#include "cli/batch_plan.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <utility>

#include "photo/sniff.h"

namespace tavrin::cli {

namespace fs = std::filesystem;

namespace {

using FileId = std::pair<dev_t, ino_t>;

bool file_id(const std::string &path, FileId &id) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return false;
  id = {st.st_dev, st.st_ino};
  return true;
}

// Folders a walk must not enter: the output folder (when it lies inside an
// input folder, its outputs would become inputs) and staging folders.
struct WalkFence {
  bool has_out = false;
  FileId out{};
  bool excludes(const fs::path &dir) const {
    if (dir.filename().string().starts_with(".tavrin-")) return true;
    FileId id;
    return has_out && file_id(dir.string(), id) && id == out;
  }
};

struct Found {
  std::string input, relative;
};

// The files of `root` (its sub-folders too when `recursive`), sorted.
std::vector<Found> walk(const fs::path &root, bool recursive, const WalkFence &fence, BatchPlan &plan) {
  std::vector<Found> found;
  std::error_code ec;
  const auto options = fs::directory_options::skip_permission_denied;
  fs::recursive_directory_iterator it(root, options, ec), end;
  if (ec) {
    plan.items.push_back({root.string(), "", ItemState::unreadable, "cannot read the folder: " + ec.message()});
    return found;
  }
  for (; it != end; it.increment(ec)) {
    if (ec) {
      plan.items.push_back({root.string(), "", ItemState::unreadable, "cannot read all of the folder: " + ec.message()});
      break;
    }
    const fs::directory_entry &entry = *it;
    std::error_code type_ec;
    if (entry.is_directory(type_ec)) {
      if (fence.excludes(entry.path())) {
        it.disable_recursion_pending();
      } else if (!recursive) {
        ++plan.folders_not_walked;
        it.disable_recursion_pending();
      }
      continue;
    }
    if (!entry.is_regular_file(type_ec)) continue; // sockets, fifos, dangling links
    found.push_back({entry.path().string(), entry.path().lexically_relative(root).string()});
  }
  std::sort(found.begin(), found.end(), [](const Found &a, const Found &b) { return a.relative < b.relative; });
  return found;
}

} // namespace

std::string output_name(const std::string &relative, const std::string &format, const char *fallback) {
  fs::path path(relative);
  std::string ext = format;
  if (!ext.empty() && ext.front() == '.') ext.erase(0, 1);
  if (ext.empty() && path.has_extension()) return relative;
  if (ext.empty() && fallback != nullptr) ext = fallback;
  if (!ext.empty()) path.replace_extension(ext);
  return path.string();
}

BatchPlan plan_batch(const BatchRequest &r) {
  BatchPlan plan;
  WalkFence fence;
  fence.has_out = file_id(r.out_dir, fence.out);
  const fs::path out_dir(r.out_dir);

  std::set<FileId> input_ids;
  auto add = [&](const std::string &input, const std::string &relative) {
    BatchItem item{input, "", ItemState::run, ""};
    FileId id;
    if (file_id(input, id)) input_ids.insert(id);
    const char *type = photo::picture_type(input);
    if (type == nullptr) {
      item.state = ItemState::not_a_picture;
    } else {
      item.output = (out_dir / output_name(relative, r.format, type)).lexically_normal().string();
    }
    plan.items.push_back(std::move(item));
  };

  for (const std::string &input : r.inputs) {
    std::error_code ec;
    const fs::file_status status = fs::status(input, ec);
    if (fs::is_directory(status)) {
      for (const Found &f : walk(input, r.recursive, fence, plan)) add(f.input, f.relative);
    } else if (fs::is_regular_file(status)) {
      add(input, fs::path(input).filename().string());
    } else {
      const std::string why = status.type() == fs::file_type::not_found ? "no such file or folder"
                              : ec                                        ? ec.message()
                                                                          : "not a file or folder";
      plan.items.push_back({input, "", ItemState::unreadable, why});
    }
  }

  // Two inputs onto one output, or an output onto any input: refuse it all.
  std::map<std::string, const BatchItem *> by_output;
  for (BatchItem &item : plan.items) {
    if (item.output.empty()) continue;
    auto [at, fresh] = by_output.emplace(item.output, &item);
    if (!fresh) {
      plan.conflicts.push_back(at->second->input + " and " + item.input + " would both be written to " + item.output);
      continue;
    }
    FileId id;
    const bool exists = file_id(item.output, id);
    if (exists && r.skip_existing) {
      item.state = ItemState::exists;
    } else if (exists && input_ids.count(id) != 0) {
      plan.conflicts.push_back(item.output + " is an input; writing " + item.input + " there would replace it");
    }
  }
  return plan;
}

} // namespace tavrin::cli
