#include "platform/foundation/bundle.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <system_error>
#include <vector>

#include "platform/foundation/console.h"
#include "platform/foundation/file_manager.h"
#include "platform/foundation/format.h"
#include "platform/foundation/property_list.h"
#include "platform/foundation/strings.h"
#include "platform/foundation/thread_safety.h"

namespace platform {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kPreferredLocalizations[] = {"en.lproj", "Base.lproj"};

fs::path executableDirectory() {
  std::error_code ec;
  fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  return ec ? fs::path() : exe.parent_path();
}

fs::path locateMainBundle() {
  if (const char* env = std::getenv("FOCUS_RESOURCES"); env && *env) return env;
  if (const char* src = std::getenv("FOCUS_SOURCE_DIR"); src && *src) return fs::path(src) / "resources";
  fs::path dir = executableDirectory();
  std::error_code ec;
  // The program runs from somewhere inside a build tree (build/tools, build/<name>/tests, ...).
  for (fs::path at = dir; !at.empty(); at = at.parent_path()) {
    if (fs::exists(at / "resources" / "Info.plist", ec)) return at / "resources";
    if (at == at.parent_path()) break;
  }
  return dir / ".." / ".." / "resources";
}

struct MainState {
  Mutex mutex;
  fs::path overridePath GUARDED_BY(mutex);
  std::shared_ptr<Bundle> bundle GUARDED_BY(mutex);
};

MainState& mainState() {
  static auto* s = new MainState;
  return *s;
}

Error corrupt(std::string reason) {
  return Error(std::string(kCocoaErrorDomain), kPropertyListReadCorruptError,
               Value::Dictionary{{std::string(kLocalizedDescriptionKey), Value(std::move(reason))}});
}

// UTF-16 code units to UTF-8; a lone surrogate becomes U+FFFD.
void appendUtf16(std::string& out, const std::vector<char16_t>& units) {
  for (std::size_t i = 0; i < units.size(); ++i) {
    char32_t u = units[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
      strings::appendUTF8(out, 0x10000 + ((u - 0xD800) << 10) + (units[i + 1] - 0xDC00));
      ++i;
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      strings::appendUTF8(out, 0xFFFD);
    } else {
      strings::appendUTF8(out, u);
    }
  }
}

std::string decodeText(const Data& bytes) {
  if (bytes.size() >= 2 && ((bytes[0] == 0xFE && bytes[1] == 0xFF) || (bytes[0] == 0xFF && bytes[1] == 0xFE))) {
    bool bigEndian = bytes[0] == 0xFE;
    std::vector<char16_t> units;
    for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
      units.push_back(bigEndian ? static_cast<char16_t>((bytes[i] << 8) | bytes[i + 1])
                                : static_cast<char16_t>((bytes[i + 1] << 8) | bytes[i]));
    }
    std::string out;
    appendUtf16(out, units);
    return out;
  }
  std::size_t skip = (bytes.size() >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) ? 3 : 0;
  return std::string(bytes.begin() + static_cast<std::ptrdiff_t>(skip), bytes.end());
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool isBareChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         std::string_view("_$+/:.-").find(c) != std::string_view::npos;
}

class StringsParser {
 public:
  explicit StringsParser(std::string_view text) : text_(text) {}

  std::optional<std::map<std::string, std::string, std::less<>>> parse(Error* error) {
    std::map<std::string, std::string, std::less<>> table;
    for (;;) {
      if (!skipSpaceAndComments()) return failed(error, "unterminated comment");
      if (atEnd()) return table;
      std::string key;
      if (!readString(key)) return failed(error, "expected a quoted key");
      if (!skipSpaceAndComments()) return failed(error, "unterminated comment");
      if (peek() == ';') {
        // "key"; stands for "key" = "key";
        ++pos_;
        table.insert_or_assign(key, key);
        continue;
      }
      if (peek() != '=') return failed(error, "expected '='");
      ++pos_;
      if (!skipSpaceAndComments()) return failed(error, "unterminated comment");
      std::string value;
      if (!readString(value)) return failed(error, "expected a quoted value");
      if (!skipSpaceAndComments()) return failed(error, "unterminated comment");
      if (peek() != ';') return failed(error, "expected ';'");
      ++pos_;
      table.insert_or_assign(std::move(key), std::move(value));
    }
  }

 private:
  bool atEnd() const { return pos_ >= text_.size(); }
  char peek() const { return atEnd() ? '\0' : text_[pos_]; }

  std::nullopt_t failed(Error* error, std::string_view what) {
    std::size_t line = 1 + static_cast<std::size_t>(std::count(text_.begin(), text_.begin() + static_cast<std::ptrdiff_t>(std::min(pos_, text_.size())), '\n'));
    setError(error, corrupt(format("Strings file: %s on line %lu.", what, static_cast<unsigned long>(line))));
    return std::nullopt;
  }

  // False for a comment that never ends.
  bool skipSpaceAndComments() {
    while (!atEnd()) {
      char c = text_[pos_];
      if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v') {
        ++pos_;
      } else if (text_.substr(pos_, 2) == "//") {
        std::size_t end = text_.find('\n', pos_);
        pos_ = end == std::string_view::npos ? text_.size() : end + 1;
      } else if (text_.substr(pos_, 2) == "/*") {
        std::size_t end = text_.find("*/", pos_ + 2);
        if (end == std::string_view::npos) return false;
        pos_ = end + 2;
      } else {
        break;
      }
    }
    return true;
  }

  bool readString(std::string& out) {
    if (peek() != '"') {
      std::size_t start = pos_;
      while (!atEnd() && isBareChar(text_[pos_])) ++pos_;
      if (pos_ == start) return false;
      out.assign(text_.substr(start, pos_ - start));
      return true;
    }
    ++pos_;
    std::vector<char16_t> pending;  // \U escapes, joined so that surrogate pairs combine
    auto flush = [&] {
      appendUtf16(out, pending);
      pending.clear();
    };
    while (!atEnd()) {
      char c = text_[pos_++];
      if (c == '"') {
        flush();
        return true;
      }
      if (c != '\\') {
        flush();
        out.push_back(c);
        continue;
      }
      if (atEnd()) return false;
      char e = text_[pos_++];
      if (e == 'U' || e == 'u') {
        unsigned unit = 0;
        int digits = 0;
        while (digits < 4 && !atEnd() && hexDigit(text_[pos_]) >= 0) {
          unit = unit * 16 + static_cast<unsigned>(hexDigit(text_[pos_++]));
          ++digits;
        }
        if (digits == 0) {
          flush();
          out.push_back(e);
        } else {
          pending.push_back(static_cast<char16_t>(unit));
        }
        continue;
      }
      flush();
      switch (e) {
        case 'n': out.push_back('\n'); break;
        case 't': out.push_back('\t'); break;
        case 'r': out.push_back('\r'); break;
        case 'a': out.push_back('\a'); break;
        case 'b': out.push_back('\b'); break;
        case 'f': out.push_back('\f'); break;
        case 'v': out.push_back('\v'); break;
        case '0': case '1': case '2': case '3': case '4': case '5': case '6': case '7': {
          unsigned code = static_cast<unsigned>(e - '0');
          for (int i = 0; i < 2 && !atEnd() && text_[pos_] >= '0' && text_[pos_] <= '7'; ++i) {
            code = code * 8 + static_cast<unsigned>(text_[pos_++] - '0');
          }
          strings::appendUTF8(out, static_cast<char32_t>(code & 0xFF));
          break;
        }
        default: out.push_back(e); break;  // \" \\ \' and anything else stand for themselves
      }
    }
    return false;
  }

  std::string_view text_;
  std::size_t pos_ = 0;
};

}  // namespace

std::shared_ptr<Bundle> Bundle::main() {
  MainState& s = mainState();
  MutexLock lock(s.mutex);
  if (!s.bundle) s.bundle = std::make_shared<Bundle>(s.overridePath.empty() ? locateMainBundle() : s.overridePath);
  return s.bundle;
}

void Bundle::setMainPath(const fs::path& path) {
  MainState& s = mainState();
  MutexLock lock(s.mutex);
  s.overridePath = path;
  s.bundle.reset();
}

std::shared_ptr<Bundle> Bundle::at(const fs::path& path) {
  std::error_code ec;
  if (!fs::is_directory(path, ec)) return nullptr;
  return std::make_shared<Bundle>(path);
}

Bundle::Bundle(fs::path path) : path_(std::move(path)) {}

const Value::Dictionary& Bundle::infoDictionary() const {
  std::call_once(infoOnce_, [this] {
    fs::path file = path_ / "Info.plist";
    if (!FileManager::defaultManager().fileExists(file)) return;
    Error error;
    auto bytes = FileManager::defaultManager().contentsAtPath(file, &error);
    std::optional<Value> value;
    if (bytes) value = PropertyList::read(*bytes, &error);
    if (value && value->isDictionary()) {
      info_ = *value->ifDictionary();
    } else {
      Console::log(format("Bundle: cannot read %s: %@", file.string(), error));
    }
  });
  return info_;
}

Value Bundle::objectForInfoDictionaryKey(std::string_view key) const {
  const auto& info = infoDictionary();
  auto it = info.find(key);
  return it == info.end() ? Value() : it->second;
}

std::string Bundle::bundleIdentifier() const {
  Value id = objectForInfoDictionaryKey("CFBundleIdentifier");
  return id.isString() ? *id.ifString() : std::string();
}

std::optional<fs::path> Bundle::pathForResource(std::string_view name, std::string_view extension) const {
  if (name.empty() && extension.empty()) return std::nullopt;
  std::string file(name);
  if (!extension.empty()) {
    if (extension.front() != '.') file += '.';
    file += extension;
  }
  // A resource name never climbs out of the bundle.
  if (file.find('/') != std::string::npos || file == "." || file == "..") return std::nullopt;

  std::vector<fs::path> folders{path_};
  for (auto loc : kPreferredLocalizations) folders.push_back(path_ / loc);
  std::vector<fs::path> others;
  std::error_code ec;
  for (fs::directory_iterator it(path_, ec), end; !ec && it != end; it.increment(ec)) {
    if (!it->is_directory(ec)) continue;
    std::string folder = it->path().filename().string();
    if (std::find(std::begin(kPreferredLocalizations), std::end(kPreferredLocalizations), folder) ==
        std::end(kPreferredLocalizations)) {
      others.push_back(it->path());
    }
  }
  // Localisation folders before plain subfolders, each group by name.
  std::sort(others.begin(), others.end(), [](const fs::path& a, const fs::path& b) {
    bool al = a.extension() == ".lproj", bl = b.extension() == ".lproj";
    return al != bl ? al : a < b;
  });
  folders.insert(folders.end(), others.begin(), others.end());
  for (const auto& folder : folders) {
    fs::path candidate = folder / file;
    if (fs::is_regular_file(candidate, ec)) return candidate;
  }
  return std::nullopt;
}

const Bundle::Table& Bundle::table(std::string_view name) const {
  MutexLock lock(tablesMutex_);
  if (auto it = tables_.find(name); it != tables_.end()) return *it->second;
  auto loaded = std::make_shared<Table>();
  std::string file = std::string(name) + ".strings";
  std::error_code ec;
  std::vector<fs::path> candidates;
  for (auto loc : kPreferredLocalizations) candidates.push_back(path_ / loc / file);
  candidates.push_back(path_ / file);
  for (const auto& candidate : candidates) {
    if (!fs::is_regular_file(candidate, ec)) continue;
    Error error;
    auto bytes = FileManager::defaultManager().contentsAtPath(candidate, &error);
    std::optional<Table> parsed;
    if (bytes) parsed = parseStringsFile(*bytes, &error);
    if (parsed) {
      *loaded = std::move(*parsed);
    } else {
      Console::log(format("Bundle: cannot read %s: %@", candidate.string(), error));
    }
    break;
  }
  return *tables_.emplace(std::string(name), std::move(loaded)).first->second;
}

std::string Bundle::localizedString(std::string_view key, std::string_view value, std::string_view tableName) const {
  const Table& strings = table(tableName.empty() ? std::string_view("Localizable") : tableName);
  if (auto it = strings.find(key); it != strings.end()) return it->second;
  return std::string(value.empty() ? key : value);
}

std::optional<std::map<std::string, std::string, std::less<>>> Bundle::parseStringsFile(const Data& bytes,
                                                                                          Error* error) {
  std::string_view head(reinterpret_cast<const char*>(bytes.data()), std::min<std::size_t>(bytes.size(), 8));
  if (head.starts_with("bplist") || head.starts_with("<?xml")) {
    auto value = PropertyList::read(bytes, error);
    if (!value) return std::nullopt;
    if (!value->isDictionary()) {
      setError(error, corrupt("Strings file: the property list is not a dictionary."));
      return std::nullopt;
    }
    std::map<std::string, std::string, std::less<>> table;
    for (const auto& [k, v] : *value->ifDictionary()) {
      if (!v.isString()) {
        setError(error, corrupt(format("Strings file: the value of \"%s\" is not a string.", k)));
        return std::nullopt;
      }
      table.emplace(k, *v.ifString());
    }
    return table;
  }
  std::string text = decodeText(bytes);
  return StringsParser(text).parse(error);
}

}  // namespace platform
