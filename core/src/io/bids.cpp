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

// ---- a run's gradient tables

using Entities = std::vector<std::pair<std::string, std::string>>;

// The key-value entities of a file name's stem before its suffix
// ("sub-01_acq-b_dwi": sub 01, acq b); parts that are not key-value are left
// out, or with `strict` make the name no BIDS name at all.
std::optional<Entities> entities_of(std::string_view stem, bool strict) {
  Entities out;
  const std::size_t suffix = stem.rfind('_');
  if (suffix == std::string_view::npos) return out;
  std::size_t start = 0;
  while (start < suffix) {
    const std::size_t end = std::min(stem.find('_', start), suffix);
    const std::string_view part = stem.substr(start, end - start);
    const std::size_t dash = part.find('-');
    if (dash != std::string_view::npos && dash > 0 && dash + 1 < part.size()) {
      out.emplace_back(part.substr(0, dash), part.substr(dash + 1));
    } else if (strict) {
      return std::nullopt;
    }
    start = end + 1;
  }
  return out;
}

bool carries(const Entities& run, const Entities& file) {
  return std::all_of(file.begin(), file.end(),
                     [&](const auto& e) { return std::find(run.begin(), run.end(), e) != run.end(); });
}

// A gradient file named for every run whose entities include its own
// (dwi.bval, ses-1_dwi.bval, acq-b_dwi.bvec).
struct SharedTable {
  std::string path;
  std::string ext;
  Entities entities;
};

// Where a run's table of one kind comes from, or why it has none.
struct TableSource {
  std::optional<std::string> path;
  std::string why_not;
};

// The gradient files of the tree by folder, for BIDS inheritance: the file
// nearest to a run, up to the root, whose entities the run carries applies.
class Inheritance {
 public:
  Inheritance(const std::vector<std::string>& files, const std::string& root) : root_(root) {
    while (root_.size() > 1 && root_.back() == '/') root_.pop_back();
    for (const auto& file : files) add(file);
  }

  TableSource nearest(const std::string& image, const std::string& base, const std::string& ext) const {
    const Entities run = *entities_of(file_name(base), false);
    for (std::string dir = parent_directory(image);; dir = parent_directory(dir)) {
      if (const auto found = folders_.find(dir); found != folders_.end()) {
        std::vector<const SharedTable*> applicable;
        for (const auto& table : found->second)
          if (table.ext == ext && carries(run, table.entities)) applicable.push_back(&table);
        if (!applicable.empty()) return most_specific(applicable, ext);
      }
      if (dir.size() <= root_.size()) return {};
    }
  }

 private:
  void add(const std::string& file) {
    const std::string_view name = file_name(file);
    for (const char* ext : {"bvec", "bval"}) {
      const std::string dot_ext = std::string(".") + ext;
      if (!ends_with(name, dot_ext) || name.starts_with('.')) continue;
      const std::string_view stem = name.substr(0, name.size() - dot_ext.size());
      if (stem != "dwi" && !ends_with(stem, "_dwi")) continue;
      if (auto entities = entities_of(stem, true))
        folders_[parent_directory(file)].push_back({file, ext, std::move(*entities)});
    }
  }

  // Of the files at one level, the one naming the most entities when it names
  // every entity the others do; two that each name one the other lacks leave
  // the choice to nobody.
  static TableSource most_specific(const std::vector<const SharedTable*>& applicable, const std::string& ext) {
    const SharedTable* best = *std::max_element(applicable.begin(), applicable.end(), [](auto a, auto b) {
      return a->entities.size() < b->entities.size();
    });
    for (const SharedTable* other : applicable) {
      if (!carries(best->entities, other->entities))
        return {std::nullopt, "its ." + ext + " file is ambiguous: " + display_path(best->path) + " and " +
                                  display_path(other->path) + " both apply"};
    }
    if (const std::string kind = special_kind(best->path); !kind.empty())
      return {std::nullopt, "its inherited ." + ext + " file " + display_path(best->path) + " is " + kind +
                                ", not a regular file"};
    return {best->path, {}};
  }

  std::string root_;
  std::map<std::string, std::vector<SharedTable>> folders_;
};

// The run's own <base>.<ext> (or <base>.<ext>s), else with `inherited` the
// nearest shared one.
TableSource table_of(const std::string& image, const std::string& base, const std::string& ext,
                     const Inheritance* inherited) {
  const std::string spellings[] = {ext, ext + "s"};
  for (const auto& spelling : spellings)
    if (auto path = sibling(base, spelling.c_str())) return {std::move(path), {}};
  for (const auto& spelling : spellings) {
    // Opening a FIFO would wait for a writer that never comes.
    if (const std::string kind = special_kind(base + "." + spelling); !kind.empty() && kind != "a directory")
      return {std::nullopt, "its " + spelling + " file is " + kind + ", not a regular file"};
  }
  if (inherited) {
    TableSource found = inherited->nearest(image, base, ext);
    if (found.path || !found.why_not.empty()) return found;
  }
  return {std::nullopt, "no ." + ext + " beside it" + (inherited ? " (nor inherited)" : "")};
}

// "<image>: no .bval beside it: skipped", every reason of the two named.
std::string skipped_for_tables(const std::string& image, const TableSource& bvec, const TableSource& bval) {
  std::string why = bvec.why_not;
  if (!bval.why_not.empty()) why += (why.empty() ? "" : "; ") + bval.why_not;
  return display_path(image) + ": " + why + ": skipped";
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

std::optional<std::string> nifti_base(const std::string& path, bool any_bytes) {
  const std::string_view name = file_name(path);
  if (name.size() < 2 || name == ".." || (!any_bytes && !is_valid_utf8(name)) || name.starts_with("._"))
    return std::nullopt;
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

std::vector<std::string> find_masks(const std::string& dir, bool any_bytes) {
  std::vector<std::string> masks;
  Dir listing(dir);
  if (!listing.get()) return masks;
  while (const dirent* entry = ::readdir(listing.get())) {
    if (is_dot_entry(entry->d_name)) continue;
    const std::string name = entry->d_name;
    std::string path = join_path(dir, name);
    if (!is_regular_file(path) || name.empty() || (!any_bytes && !is_valid_utf8(name))) continue;
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
  // A BIDS App reads the dataset as BIDS does: tables shared up the tree, and
  // file names as bytes (a name that is not UTF-8 is shown with U+FFFD).
  const bool app = scope == Scope::RawData;
  std::optional<Inheritance> inherited;
  if (app) inherited.emplace(files, root);

  // Every run of a folder has the same mask candidates: the folder is listed
  // once, however many runs it holds.
  std::map<std::string, std::vector<std::string>> masks_of;
  for (const auto& file : files) {
    auto base = nifti_base(file, app);
    if (!base) continue;
    // Opening a FIFO would wait for a writer that never comes.
    if (const std::string kind = special_kind(file); !kind.empty()) {
      found.skipped.push_back(display_path(file) + " is " + kind + ", not a regular file: skipped");
      continue;
    }
    const TableSource bvec = table_of(file, *base, "bvec", inherited ? &*inherited : nullptr);
    const TableSource bval = table_of(file, *base, "bval", inherited ? &*inherited : nullptr);
    if (!bvec.path || !bval.path) {
      found.skipped.push_back(skipped_for_tables(file, bvec, bval));
      continue;
    }
    DwiEntry entry;
    entry.dwi = file;
    entry.bvec = *bvec.path;
    entry.bval = *bval.path;
    entry.sidecar = sibling(*base, "json");
    const std::string dir = parent_directory(file);
    if (!dir.empty()) {
      auto cached = masks_of.find(dir);
      if (cached == masks_of.end()) cached = masks_of.emplace(dir, find_masks(dir, app)).first;
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
