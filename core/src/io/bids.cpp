#include "io/bids.hpp"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <limits>
#include <map>
#include <set>
#include <string_view>
#include <utility>

#include <nlohmann/json.hpp>

#include "error.hpp"
#include "fileio.hpp"
#include "format.hpp"
#include "paths.hpp"
#include "text.hpp"

namespace tarvix {
namespace {

class Dir {
 public:
  explicit Dir(const std::string& path) : d_(::opendir(path.c_str())) {}
  Dir(const Dir&) = delete;
  Dir& operator=(const Dir&) = delete;
  ~Dir() {
    if (d_) ::closedir(d_);
  }
  DIR* get() const { return d_; }

 private:
  DIR* d_;
};

bool is_dot_entry(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

using DirId = std::pair<dev_t, ino_t>;

// The walk's state: every directory already listed (by device and inode, so
// however many links reach a directory it is listed once), the links to
// directories still to follow, and the directories that could not be listed
// (null: the first one ends the walk).
struct Walk {
  std::set<DirId> listed;
  std::deque<std::string> links;
  std::vector<bids::UnreadableFolder>* unreadable = nullptr;
  std::string root;
  bids::Scope scope = bids::Scope::Everything;
};

// Folders a BIDS App leaves alone: the dataset's own non-raw folders at its
// top, and hidden folders anywhere (version control, annexes, editors' caches).
bool outside_raw_data(const std::string& dir, const std::string& name, const Walk& walk) {
  if (walk.scope != bids::Scope::RawData) return false;
  if (name.starts_with('.')) return true;
  return dir == walk.root && (name == "sourcedata" || name == "code" || name == "stimuli");
}

// The sorted entries of `dir`; the error number when it cannot be listed, else 0.
int sorted_names(const std::string& dir, std::vector<std::string>& names) {
  Dir listing(dir);
  if (!listing.get()) return errno;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(listing.get());
    if (!entry) {
      if (errno != 0) return errno;
      break;
    }
    if (!is_dot_entry(entry->d_name)) names.emplace_back(entry->d_name);
  }
  std::sort(names.begin(), names.end());
  return 0;
}

// Lists `dir` and its real subdirectories; links to directories are queued, so
// that a directory reached both directly and through a link is walked under
// its own path, whatever the names sort like.
void walk_below(const std::string& dir, std::vector<std::string>& files, Walk& walk) {
  std::vector<std::string> names;
  if (const int err = sorted_names(dir, names); err != 0) {
    if (!walk.unreadable) throw Error::io(err);
    walk.unreadable->push_back({dir, err});
    return;
  }
  for (const std::string& name : names) {
    std::string path = join_path(dir, name);
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      // Earlier batch outputs live in derivatives/, so they are never read back.
      if (name == "derivatives" || outside_raw_data(dir, name, walk)) continue;
      struct stat lst {};
      if (::lstat(path.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode)) {
        walk.links.push_back(std::move(path));
        continue;
      }
      if (!walk.listed.insert({st.st_dev, st.st_ino}).second) continue;
      walk_below(path, files, walk);
    } else {
      // Broken links and other unreadable entries are kept as files.
      files.push_back(std::move(path));
    }
  }
}

void walk_tree(const std::string& dir, std::vector<std::string>& files, std::vector<bids::UnreadableFolder>* unreadable,
               bids::Scope scope = bids::Scope::Everything) {
  struct stat st {};
  if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return;
  Walk state;
  state.unreadable = unreadable;
  state.root = dir;
  state.scope = scope;
  state.listed.insert({st.st_dev, st.st_ino});
  walk_below(dir, files, state);
  while (!state.links.empty()) {
    const std::string link = std::move(state.links.front());
    state.links.pop_front();
    struct stat target {};
    if (::stat(link.c_str(), &target) != 0 || !state.listed.insert({target.st_dev, target.st_ino}).second) continue;
    walk_below(link, files, state);
  }
}

// What kind of special file `path` is ("a FIFO", ...), or empty for a regular
// file and for a path that cannot be queried (that one fails when it is read,
// with the operating system's reason).
std::string special_kind(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return {};
  return file_type_text(st.st_mode);
}

// Components of a path for ordering: empty ones (repeated or trailing slashes)
// and inner "." do not count, as they name nothing.
std::vector<std::string_view> components(std::string_view path) {
  std::vector<std::string_view> out;
  if (!path.empty() && path.front() == '/') out.push_back("/");
  std::size_t i = 0;
  while (i <= path.size()) {
    const auto next = std::min(path.find('/', i), path.size());
    const auto part = path.substr(i, next - i);
    if (!part.empty() && !(part == "." && !out.empty())) out.push_back(part);
    i = next + 1;
  }
  return out;
}

// The sibling "<base>.<ext>" when it is a regular file. The extension is
// appended to the base rather than replacing text after a dot inside it, so a
// name such as sub-01_acq-1.5mm_dwi finds sub-01_acq-1.5mm_dwi.bvec.
std::optional<std::string> sibling(const std::string& base, const char* ext) {
  std::string path = base + "." + ext;
  if (is_regular_file(path)) return path;
  return std::nullopt;
}

// Reads the three sidecar fields from the top-level object as the parser goes,
// so a repeated field is seen (a DOM parse would keep only the last value).
class SidecarReader : public nlohmann::json_sax<nlohmann::json> {
 public:
  BidsSidecar result;
  std::string problem;

  bool null() override {
    return member("null", [] { return true; });
  }
  bool boolean(bool) override {
    return member("a boolean", [&] { return wrong_type("a boolean"); });
  }
  bool number_integer(number_integer_t v) override {
    return member("an integer", [&] {
      if (field_ == Field::Trt) return set_trt(static_cast<double>(v));
      if (field_ == Field::Mb && v >= 0) return set_mb(static_cast<std::uint64_t>(v));
      return wrong_type("a negative integer");
    });
  }
  bool number_unsigned(number_unsigned_t v) override {
    return member("an integer", [&] {
      if (field_ == Field::Trt) return set_trt(static_cast<double>(v));
      if (field_ == Field::Mb) return set_mb(v);
      return wrong_type("an integer");
    });
  }
  bool number_float(number_float_t v, const string_t&) override {
    return member("a real number", [&] {
      if (field_ == Field::Trt) return set_trt(v);
      return wrong_type("a real number");
    });
  }
  bool string(string_t& v) override {
    return member("a string", [&] {
      if (field_ != Field::Pe) return wrong_type("a string");
      result.phase_encoding_direction = v;
      return true;
    });
  }
  bool binary(binary_t&) override {
    return member("binary data", [&] { return wrong_type("binary data"); });
  }
  bool start_object(std::size_t) override {
    if (depth_ == 1 && field_ != Field::None) return wrong_type("an object");
    ++depth_;
    return true;
  }
  bool end_object() override {
    --depth_;
    return true;
  }
  bool start_array(std::size_t) override {
    if (depth_ == 0) return fail("expected an object, found an array");
    if (depth_ == 1 && field_ != Field::None) return wrong_type("an array");
    ++depth_;
    return true;
  }
  bool end_array() override {
    --depth_;
    return true;
  }
  bool key(string_t& k) override {
    if (depth_ != 1) return true;
    field_ = k == "PhaseEncodingDirection"        ? Field::Pe
             : k == "TotalReadoutTime"            ? Field::Trt
             : k == "MultibandAccelerationFactor" ? Field::Mb
                                                  : Field::None;
    if (field_ != Field::None && seen_[static_cast<int>(field_)]) return fail("duplicate field `" + k + "`");
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& ex) override {
    return fail(ex.what());
  }

 private:
  enum class Field { Pe = 0, Trt = 1, Mb = 2, None = 3 };

  bool fail(std::string why) {
    if (problem.empty()) problem = std::move(why);
    return false;
  }

  bool wrong_type(const char* found) {
    return fail(std::string("invalid type for a sidecar field: ") + found);
  }

  // A scalar value: the whole document must be an object, members other than
  // the three fields (and anything nested) are ignored, and a field value is
  // checked and stored by `assign`.
  template <class F>
  bool member(const char* what, F&& assign) {
    if (depth_ == 0) return fail(std::string("expected an object, found ") + what);
    if (depth_ != 1 || field_ == Field::None) return true;
    seen_[static_cast<int>(field_)] = true;
    return assign();
  }

  bool set_trt(double v) {
    result.total_readout_time = v;
    return true;
  }

  bool set_mb(std::uint64_t v) {
    if (v > std::numeric_limits<std::uint32_t>::max()) return fail("MultibandAccelerationFactor out of range");
    result.multiband_acceleration_factor = static_cast<std::uint32_t>(v);
    return true;
  }

  int depth_ = 0;
  Field field_ = Field::None;
  bool seen_[3] = {false, false, false};
};

}  // namespace

std::string DwiEntry::name() const { return std::string(file_name(base)); }

namespace bids {

std::string UnreadableFolder::text() const {
  return "cannot list the folder " + display_path(path) + ": " + os_error_text(errnum);
}

void walk(const std::string& dir, std::vector<std::string>& files) { walk_tree(dir, files, nullptr); }

void walk(const std::string& dir, std::vector<std::string>& files, std::vector<UnreadableFolder>& unreadable,
          Scope scope) {
  walk_tree(dir, files, &unreadable, scope);
}

bool path_less(const std::string& a, const std::string& b) {
  const auto ca = components(a);
  const auto cb = components(b);
  return std::lexicographical_compare(ca.begin(), ca.end(), cb.begin(), cb.end());
}

std::optional<std::string> nifti_base(const std::string& path) {
  const std::string_view name = file_name(path);
  if (name.size() < 2 || name == ".." || !is_valid_utf8(name) || name.starts_with("._")) return std::nullopt;
  std::string_view stem;
  if (ends_with(name, ".nii.gz")) {
    stem = name.substr(0, name.size() - 7);
  } else if (ends_with(name, ".nii")) {
    stem = name.substr(0, name.size() - 4);
  } else {
    return std::nullopt;
  }
  if (!ends_with(stem, "_dwi")) return std::nullopt;
  return path.substr(0, path.size() - name.size()) + std::string(stem);
}

std::vector<std::string> find_masks(const std::string& dir) {
  std::vector<std::string> masks;
  Dir listing(dir);
  if (!listing.get()) return masks;
  while (const dirent* entry = ::readdir(listing.get())) {
    if (is_dot_entry(entry->d_name)) continue;
    const std::string name = entry->d_name;
    std::string path = join_path(dir, name);
    if (!is_regular_file(path) || name.empty() || !is_valid_utf8(name)) continue;
    std::string lower = name;
    for (char& c : lower) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    if (lower.size() == 1 || lower.starts_with("._")) continue;
    if (lower.find("mask") != std::string::npos && (ends_with(lower, ".nii") || ends_with(lower, ".nii.gz"))) {
      masks.push_back(std::move(path));
    }
  }
  std::stable_sort(masks.begin(), masks.end(), path_less);
  return masks;
}

Discovery discover_runs(const std::string& root, Scope scope) {
  Discovery found;
  std::vector<std::string> files;
  walk(root, files, found.unreadable, scope);
  std::stable_sort(files.begin(), files.end(), path_less);

  // Every run of a folder has the same mask candidates: the folder is listed
  // once, however many runs it holds.
  std::map<std::string, std::vector<std::string>> masks_of;
  for (const auto& file : files) {
    auto base = nifti_base(file);
    if (!base) continue;
    // Opening a FIFO would wait for a writer that never comes.
    if (const std::string kind = special_kind(file); !kind.empty()) {
      found.skipped.push_back(display_path(file) + " is " + kind + ", not a regular file: skipped");
      continue;
    }
    auto bvec = sibling(*base, "bvec");
    if (!bvec) bvec = sibling(*base, "bvecs");
    auto bval = sibling(*base, "bval");
    if (!bval) bval = sibling(*base, "bvals");
    if (!bvec || !bval) {
      // A gradient file that exists but is special is said so; a missing one
      // leaves the image out silently, as any non-DWI file is.
      for (const char* ext : {"bvec", "bval"}) {
        const std::string path = *base + "." + ext;
        if (const std::string kind = special_kind(path); !kind.empty() && kind != "a directory")
          found.skipped.push_back(display_path(file) + ": its " + ext + " file is " + kind +
                                  ", not a regular file: skipped");
      }
      continue;
    }
    DwiEntry entry;
    entry.dwi = file;
    entry.bvec = std::move(*bvec);
    entry.bval = std::move(*bval);
    entry.sidecar = sibling(*base, "json");
    const std::string dir = parent_directory(file);
    if (!dir.empty()) {
      auto cached = masks_of.find(dir);
      if (cached == masks_of.end()) cached = masks_of.emplace(dir, find_masks(dir)).first;
      entry.masks = cached->second;
    }
    entry.base = std::move(*base);
    found.entries.push_back(std::move(entry));
  }
  return found;
}

std::vector<DwiEntry> discover(const std::string& root) {
  Discovery found = discover_runs(root);
  if (!found.unreadable.empty()) throw Error::io(found.unreadable.front().errnum);
  return std::move(found.entries);
}

BidsSidecar read_sidecar(const std::string& path) {
  const std::string text = read_file(path, kTableFileLimit);
  SidecarReader reader;
  if (!nlohmann::json::sax_parse(text, &reader, nlohmann::json::input_format_t::json, true)) {
    throw Error::json(reader.problem.empty() ? "invalid sidecar" : reader.problem);
  }
  return reader.result;
}

std::optional<std::string> sidecar_note(const BidsSidecar& sidecar) {
  std::vector<std::string> parts;
  if (sidecar.phase_encoding_direction) parts.push_back("PE=" + *sidecar.phase_encoding_direction);
  if (sidecar.total_readout_time) parts.push_back("TRT=" + format_fixed(*sidecar.total_readout_time, 4) + "s");
  if (sidecar.multiband_acceleration_factor) {
    parts.push_back("MB=" + std::to_string(*sidecar.multiband_acceleration_factor));
  }
  if (parts.empty()) return std::nullopt;
  std::string note = "BIDS sidecar: ";
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i) note += ", ";
    note += parts[i];
  }
  return note;
}

}  // namespace bids
}  // namespace tarvix
