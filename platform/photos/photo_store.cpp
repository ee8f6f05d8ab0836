#include "platform/photos/photo_store.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <system_error>

#include "platform/foundation/console.h"
#include "platform/foundation/exception.h"
#include "platform/foundation/file_manager.h"
#include "platform/foundation/home.h"
#include "platform/foundation/privacy_store.h"
#include "platform/foundation/thread_safety.h"
#include "platform/foundation/trace.h"

namespace platform::photo_store {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kTitleFile = ".title";
constexpr std::string_view kAssetPrefix = "IMG_";
constexpr std::size_t kMaxFolderBytes = 200;
// An album title; a longer title file is not one, and the folder's name stands in.
constexpr std::uint64_t kMaxTitleFileBytes = 64 * 1024;

thread_local Change* currentChange = nullptr;

bool isImageFile(const fs::path& path) { return path.extension() == ".png"; }

// The number of an "IMG_0042.png" file, or 0 for any other name.
long assetNumber(const std::string& stem) {
  if (!stem.starts_with(kAssetPrefix) || stem.size() == kAssetPrefix.size()) return 0;
  long number = 0;
  for (char c : stem.substr(kAssetPrefix.size())) {
    if (!std::isdigit(static_cast<unsigned char>(c)) || number > 100'000'000) return 0;
    number = number * 10 + (c - '0');
  }
  return number;
}

std::string readTitle(const fs::path& folder) {
  auto bytes = FileManager::defaultManager().contentsOfRegularFileNoLargerThan(folder / kTitleFile, kMaxTitleFileBytes);
  if (!bytes || bytes->empty()) return folder.filename().string();
  std::string title(reinterpret_cast<const char*>(bytes->data()), bytes->size());
  while (!title.empty() && (title.back() == '\n' || title.back() == '\r')) title.pop_back();
  return title.empty() ? folder.filename().string() : title;
}

// A folder name close to the title: no separators or control characters, not hidden, not too
// long (cut on a character boundary).
std::string folderBaseName(const std::string& title) {
  std::string name;
  for (char c : title) {
    unsigned char u = static_cast<unsigned char>(c);
    name.push_back(c == '/' || u < 0x20 || u == 0x7F ? '_' : c);
  }
  std::size_t dots = name.find_first_not_of('.');
  name.erase(0, dots == std::string::npos ? name.size() : dots);
  if (name.size() > kMaxFolderBytes) {
    std::size_t cut = kMaxFolderBytes;
    while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
    name.resize(cut);
  }
  return name.empty() ? std::string("Album") : name;
}

// Where an asset's image is: the library's own copy, or else an album that holds it.
std::optional<fs::path> findAssetFile(const std::string& identifier) {
  fs::path own = root() / (identifier + ".png");
  std::error_code ec;
  if (fs::is_regular_file(own, ec)) return own;
  for (const auto& album : albums()) {
    fs::path inAlbum = album.folder / (identifier + ".png");
    if (fs::is_regular_file(inAlbum, ec)) return inAlbum;
  }
  return std::nullopt;
}

bool linkOrCopy(const fs::path& from, const fs::path& to) {
  std::error_code ec;
  fs::create_hard_link(from, to, ec);
  if (!ec) return true;
  ec.clear();
  return fs::copy_file(from, to, ec) && !ec;
}

}  // namespace

State& State::shared() {
  static auto* state = [] {
    auto* created = new State;
    // Another home is another phone: its own answers.
    Home::addChangeObserver([created] {
      MutexLock lock(created->mutex);
      created->status.reset();
    });
    return created;
  }();
  return *state;
}

PhotoAuthorizationStatus State::currentStatus() {
  if (!status) {
    const auto stored = PrivacyStore::status(PrivacyStore::kPhotosService);
    const bool known = stored && *stored >= static_cast<int>(PhotoAuthorizationStatus::NotDetermined) &&
                       *stored <= static_cast<int>(PhotoAuthorizationStatus::Limited);
    status = known ? static_cast<PhotoAuthorizationStatus>(*stored) : PhotoAuthorizationStatus::NotDetermined;
  }
  return *status;
}

void State::storeStatus(PhotoAuthorizationStatus newStatus) {
  status = newStatus;
  Error error;
  if (!PrivacyStore::setStatus(PrivacyStore::kPhotosService, static_cast<int>(newStatus), &error)) {
    Console::systemLog("Photos: the permission could not be saved: " + error.description());
  }
}

RecursiveMutex& diskMutex() {
  // Never destroyed: changes are applied on the library's queue, which may still be at it while the process exits.
  static RecursiveMutex* const mutex = new RecursiveMutex;
  return *mutex;
}

PhotoAuthorizationStatus status() {
  auto& s = State::shared();
  MutexLock lock(s.mutex);
  return s.currentStatus();
}

bool canRead() {
  auto current = status();
  return current == PhotoAuthorizationStatus::Authorized || current == PhotoAuthorizationStatus::Limited;
}

fs::path root() { return Home::photos(); }

std::vector<AlbumOnDisk> albums() {
  RecursiveMutexLock lock(diskMutex());
  std::vector<AlbumOnDisk> out;
  std::error_code ec;
  for (fs::directory_iterator it(root(), ec), end; !ec && it != end; it.increment(ec)) {
    std::string name = it->path().filename().string();
    if (name.starts_with('.') || !it->is_directory(ec)) continue;
    out.push_back({name, readTitle(it->path()), it->path()});
  }
  std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.identifier < b.identifier; });
  return out;
}

std::vector<fs::path> images(const fs::path& folder) {
  RecursiveMutexLock lock(diskMutex());
  std::vector<fs::path> out;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    if (isImageFile(it->path()) && it->is_regular_file(ec)) out.push_back(it->path());
  }
  std::sort(out.begin(), out.end());
  return out;
}

Change* Change::current() { return currentChange; }

Change& Change::requireCurrent() {
  if (!currentChange) {
    throw Exception(std::string(kInternalInconsistencyException),
                    "Change requests can only be made inside a change block of the photo library");
  }
  return *currentChange;
}

std::string Change::reserveAssetIdentifier() {
  long highest = 0;
  auto consider = [&](const fs::path& folder) {
    for (const auto& file : images(folder)) highest = std::max(highest, assetNumber(file.stem().string()));
  };
  consider(root());
  for (const auto& album : albums()) consider(album.folder);
  for (const auto& reserved : reservedAssets_) highest = std::max(highest, assetNumber(reserved));
  char name[32];
  std::snprintf(name, sizeof name, "IMG_%04ld", highest + 1);
  reservedAssets_.insert(name);
  return name;
}

std::string Change::reserveAlbumFolder(const std::string& title) {
  const std::string base = folderBaseName(title);
  std::string candidate = base;
  std::error_code ec;
  for (int n = 2; fs::exists(root() / candidate, ec) || reservedFolders_.contains(candidate); ++n) {
    candidate = base + " " + std::to_string(n);
  }
  reservedFolders_.insert(candidate);
  return candidate;
}

bool Change::apply(Error* error) {
  RecursiveMutexLock lock(diskMutex());
  auto fail = [error](const Error& e) {
    if (error) *error = e;
    return false;
  };
  {
    auto& s = State::shared();
    MutexLock stateLock(s.mutex);
    if (s.changesFailure) return fail(*s.changesFailure);
  }
  if (failure) return fail(*failure);

  // Everything is checked before anything is written.
  std::error_code ec;
  auto isNewAlbum = [this](const std::string& id) {
    return std::any_of(newAlbums.begin(), newAlbums.end(), [&](const auto& a) { return a.identifier == id; });
  };
  auto isNewAsset = [this](const std::string& id) {
    return std::any_of(newAssets.begin(), newAssets.end(), [&](const auto& a) { return a.identifier == id; });
  };
  for (const auto& addition : additions) {
    bool albumExists = isNewAlbum(addition.album) ||
                       (!addition.album.starts_with('.') && fs::is_directory(root() / addition.album, ec));
    if (!albumExists) return fail(photosError(kPhotosErrorInvalidResource, "The album no longer exists"));
    for (const auto& asset : addition.assets) {
      if (!isNewAsset(asset) && !findAssetFile(asset)) {
        return fail(photosError(kPhotosErrorInvalidResource, "The asset no longer exists"));
      }
    }
  }

  auto& files = FileManager::defaultManager();
  std::vector<fs::path> made;
  auto rollBack = [&made] {
    std::error_code ignored;
    for (auto it = made.rbegin(); it != made.rend(); ++it) fs::remove_all(*it, ignored);
  };
  Error ioError;
  if (!files.createDirectory(root(), true, &ioError)) return fail(ioError);
  for (const auto& album : newAlbums) {
    fs::path folder = root() / album.identifier;
    if (!fs::create_directory(folder, ec) || ec) {
      rollBack();
      return fail(photosError(kPhotosErrorInvalid, "The album's folder could not be made"));
    }
    made.push_back(folder);
    if (album.title != album.identifier && !files.writeAtomically(folder / kTitleFile, album.title, 0644, &ioError)) {
      rollBack();
      return fail(ioError);
    }
  }
  for (const auto& asset : newAssets) {
    fs::path file = root() / (asset.identifier + ".png");
    if (!files.writeAtomically(file, asset.png, 0644, &ioError)) {
      rollBack();
      return fail(ioError);
    }
    made.push_back(file);
  }
  std::vector<std::pair<std::string, std::string>> added;
  for (const auto& addition : additions) {
    for (const auto& asset : addition.assets) {
      fs::path target = root() / addition.album / (asset + ".png");
      if (fs::exists(target, ec)) continue;
      auto source = findAssetFile(asset);
      if (!source || !linkOrCopy(*source, target)) {
        rollBack();
        return fail(photosError(kPhotosErrorInvalid, "The image could not be added to the album"));
      }
      made.push_back(target);
      added.emplace_back(asset, readTitle(root() / addition.album));
    }
  }

  for (const auto& album : newAlbums) Trace::record("photos", "album \"" + album.title + "\" created");
  for (const auto& asset : newAssets) Trace::record("photos", asset.identifier + ".png saved");
  for (const auto& [asset, title] : added) Trace::record("photos", asset + ".png added to \"" + title + "\"");
  return true;
}

ChangeScope::ChangeScope(Change& change) : previous_(currentChange) { currentChange = &change; }

ChangeScope::~ChangeScope() { currentChange = previous_; }

Error photosError(std::int64_t code, const std::string& description) {
  return Error(std::string(kPhotosErrorDomain), code, {{std::string(kLocalizedDescriptionKey), Value(description)}});
}

}  // namespace platform::photo_store
