#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/exception.h"
#include "platform/foundation/file_manager.h"
#include "platform/foundation/home.h"
#include "platform/foundation/trace.h"
#include "platform/photos/photo_change_request.h"
#include "platform/photos/photo_library.h"
#include "platform/photos/photo_objects.h"
#include "platform/photos/photos_driver.h"
#include "platform/testing/testing.h"
#include "platform/ui/graphics_context.h"
#include "platform/ui/image.h"

namespace platform {
namespace {

namespace fs = std::filesystem;
using platform::testing::drain;

std::shared_ptr<Image> drawnImage(Size size = {40, 60}) {
  ImageContext context(size, 1);
  context.fillRect(Rect(0, 0, size.width, size.height), Color::redColor());
  return context.image();
}

struct Outcome {
  bool called = false;
  bool success = false;
  std::optional<Error> error;
  bool onMainThread = true;
};

class PhotosTest : public ::testing::Test {
 protected:
  void SetUp() override {
    PhotosDriver::reset();
    Trace::clear();
    library = PhotoLibrary::sharedPhotoLibrary();
  }
  void TearDown() override { PhotosDriver::reset(); }

  Outcome change(std::function<void()> block) {
    Outcome outcome;
    library->performChanges(std::move(block), [&outcome](bool success, const Error* error) {
      outcome.called = true;
      outcome.success = success;
      if (error) outcome.error = *error;
      outcome.onMainThread = DispatchQueue::isMainThread();
    });
    drain(library->queue());
    return outcome;
  }

  // One image created and added to a new album of that title, in one change.
  Outcome saveIntoNewAlbum(const std::string& title, std::shared_ptr<Image> image) {
    return change([title, image] {
      auto album = AssetCollectionChangeRequest::creationRequestForAssetCollectionWithTitle(title);
      auto asset = AssetChangeRequest::creationRequestForAssetFromImage(image);
      album->addAssets({asset->placeholderForCreatedAsset()});
    });
  }

  static std::shared_ptr<AssetCollection> albumTitled(const std::string& title) {
    auto options = FetchOptions::withPredicate("title = %@", {Value(title)});
    return AssetCollection::fetchAssetCollectionsWithType(AssetCollectionType::Album, AssetCollectionSubtype::Any,
                                                          &options)
        .firstObject();
  }

  static std::vector<std::string> filesIn(const fs::path& folder) {
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
      names.push_back(it->path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  std::shared_ptr<PhotoLibrary> library;
};

TEST_F(PhotosTest, AuthorizationIsAskedOnceAndAnsweredOnTheLibraryQueue) {
  struct Case {
    PhotoAuthorizationStatus answer;
    PhotoAuthorizationStatus legacyStatus;
  };
  const Case cases[] = {
      {PhotoAuthorizationStatus::Authorized, PhotoAuthorizationStatus::Authorized},
      {PhotoAuthorizationStatus::Limited, PhotoAuthorizationStatus::Authorized},
      {PhotoAuthorizationStatus::Denied, PhotoAuthorizationStatus::Denied},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.answer));
    PhotosDriver::reset();
    PhotosDriver::setAuthorizationAnswer(c.answer);
    EXPECT_EQ(PhotoLibrary::authorizationStatusForAccessLevel(PhotoAccessLevel::ReadWrite),
              PhotoAuthorizationStatus::NotDetermined);

    std::vector<PhotoAuthorizationStatus> answers;
    bool onMain = true;
    auto record = [&](PhotoAuthorizationStatus status) {
      answers.push_back(status);
      onMain = DispatchQueue::isMainThread();
    };
    PhotoLibrary::requestAuthorizationForAccessLevel(PhotoAccessLevel::ReadWrite, record);
    PhotoLibrary::requestAuthorizationForAccessLevel(PhotoAccessLevel::ReadWrite, record);
    PhotoLibrary::requestAuthorization(record);
    drain(library->queue());

    EXPECT_EQ(PhotosDriver::authorizationPromptCount(), 1);
    EXPECT_EQ(answers, (std::vector{c.answer, c.answer, c.legacyStatus}));
    EXPECT_FALSE(onMain);
    EXPECT_EQ(PhotoLibrary::authorizationStatusForAccessLevel(PhotoAccessLevel::ReadWrite), c.answer);
    EXPECT_EQ(PhotoLibrary::authorizationStatus(), c.legacyStatus);
  }
}

TEST_F(PhotosTest, ChangesNeedAuthorisedOrLimitedAccess) {
  struct Case {
    PhotoAuthorizationStatus status;
    bool saves;
    std::int64_t code;
  };
  const Case cases[] = {
      {PhotoAuthorizationStatus::NotDetermined, false, kPhotosErrorAccessUserDenied},
      {PhotoAuthorizationStatus::Denied, false, kPhotosErrorAccessUserDenied},
      {PhotoAuthorizationStatus::Restricted, false, kPhotosErrorAccessRestricted},
      {PhotoAuthorizationStatus::Authorized, true, 0},
      {PhotoAuthorizationStatus::Limited, true, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.status));
    fs::remove_all(Home::photos());
    PhotosDriver::setAuthorizationStatus(c.status);
    bool blockRan = false;
    Outcome outcome = change([&blockRan] {
      blockRan = true;
      AssetChangeRequest::creationRequestForAssetFromImage(drawnImage());
    });
    ASSERT_TRUE(outcome.called);
    EXPECT_FALSE(outcome.onMainThread);
    EXPECT_EQ(outcome.success, c.saves);
    EXPECT_EQ(blockRan, c.saves);
    EXPECT_EQ(PhotosDriver::libraryImages().size(), c.saves ? 1u : 0u);
    if (!c.saves) {
      ASSERT_TRUE(outcome.error);
      EXPECT_EQ(outcome.error->domain(), kPhotosErrorDomain);
      EXPECT_EQ(outcome.error->code(), c.code);
    }
  }
}

TEST_F(PhotosTest, SavedImageIsARealPngInTheLibraryAndInItsAlbum) {
  PhotosDriver::setAuthorizationStatus(PhotoAuthorizationStatus::Authorized);
  EXPECT_FALSE(albumTitled("VOZ"));

  Outcome outcome = saveIntoNewAlbum("VOZ", drawnImage({40, 60}));
  ASSERT_TRUE(outcome.success);

  auto album = albumTitled("VOZ");
  ASSERT_TRUE(album);
  EXPECT_EQ(album->localizedTitle(), "VOZ");
  EXPECT_EQ(album->folder(), Home::photos() / "VOZ");
  EXPECT_EQ(filesIn(Home::photos() / "VOZ"), std::vector<std::string>{"IMG_0001.png"});
  EXPECT_EQ(PhotosDriver::libraryImages(), std::vector<std::string>{"IMG_0001.png"});

  auto bytes = FileManager::defaultManager().contentsAtPath(Home::photos() / "VOZ" / "IMG_0001.png");
  ASSERT_TRUE(bytes);
  auto decoded = Image::fromPNGData(*bytes);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->size().width, 40);
  EXPECT_EQ(decoded->size().height, 60);

  auto assets = Asset::fetchAssetsInAssetCollection(*album);
  ASSERT_EQ(assets.count(), 1u);
  EXPECT_EQ(assets.firstObject()->localIdentifier(), "IMG_0001");

  std::vector<std::string> traced;
  for (const auto& e : Trace::eventsOfKind("photos")) traced.push_back(e.detail);
  EXPECT_EQ(traced,
            (std::vector<std::string>{"album \"VOZ\" created", "IMG_0001.png saved", "IMG_0001.png added to \"VOZ\""}));
}

TEST_F(PhotosTest, LaterSavesAddToAnExistingAlbumAndNumberOnFromTheFilesThere) {
  PhotosDriver::setAuthorizationStatus(PhotoAuthorizationStatus::Authorized);
  // The user's own album and pictures, made before the app ever ran.
  fs::create_directories(Home::photos() / "VOZ");
  std::ofstream(Home::photos() / "VOZ" / "IMG_0009.png") << "x";

  auto album = albumTitled("VOZ");
  ASSERT_TRUE(album);
  for (int i = 0; i < 2; ++i) {
    Outcome outcome = change([album] {
      auto asset = AssetChangeRequest::creationRequestForAssetFromImage(drawnImage());
      AssetCollectionChangeRequest::changeRequestForAssetCollection(album)->addAssets(
          {asset->placeholderForCreatedAsset()});
    });
    ASSERT_TRUE(outcome.success) << (outcome.error ? outcome.error->description() : "");
  }
  EXPECT_EQ(filesIn(Home::photos() / "VOZ"),
            (std::vector<std::string>{"IMG_0009.png", "IMG_0010.png", "IMG_0011.png"}));
  auto options = FetchOptions::withPredicate("localizedTitle == %@", {Value("VOZ")});
  EXPECT_EQ(
      AssetCollection::fetchAssetCollectionsWithType(AssetCollectionType::Album, AssetCollectionSubtype::Any, &options)
          .count(),
      1u);
}

TEST_F(PhotosTest, AFailedChangeLeavesTheLibraryAsItWas) {
  PhotosDriver::setAuthorizationStatus(PhotoAuthorizationStatus::Authorized);
  ASSERT_TRUE(saveIntoNewAlbum("Old", drawnImage()).success);
  auto old = albumTitled("Old");
  ASSERT_TRUE(old);
  fs::remove_all(old->folder());
  const auto before = PhotosDriver::libraryImages();

  struct Case {
    const char* name;
    std::function<void()> block;
    std::optional<Error> injected;
  };
  const Case cases[] = {
      {"album gone",
       [old] {
         AssetCollectionChangeRequest::creationRequestForAssetCollectionWithTitle("New");
         auto asset = AssetChangeRequest::creationRequestForAssetFromImage(drawnImage());
         AssetCollectionChangeRequest::changeRequestForAssetCollection(old)->addAssets(
             {asset->placeholderForCreatedAsset()});
       },
       std::nullopt},
      {"image missing",
       [] {
         AssetCollectionChangeRequest::creationRequestForAssetCollectionWithTitle("New");
         AssetChangeRequest::creationRequestForAssetFromImage(nullptr);
       },
       std::nullopt},
      {"block throws",
       [] {
         AssetCollectionChangeRequest::creationRequestForAssetCollectionWithTitle("New");
         throw Exception(std::string(kInvalidArgumentException), "bad");
       },
       std::nullopt},
      {"disk full",
       [] {
         AssetCollectionChangeRequest::creationRequestForAssetCollectionWithTitle("New");
         AssetChangeRequest::creationRequestForAssetFromImage(drawnImage());
       },
       Error("NSPOSIXErrorDomain", 28)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PhotosDriver::setChangesFailure(c.injected);
    Trace::clear();
    Outcome outcome = change(c.block);
    EXPECT_TRUE(outcome.called);
    EXPECT_FALSE(outcome.success);
    ASSERT_TRUE(outcome.error);
    if (c.injected) {
      EXPECT_EQ(outcome.error->code(), 28);
    }
    EXPECT_FALSE(albumTitled("New"));
    EXPECT_EQ(PhotosDriver::libraryImages(), before);
    EXPECT_TRUE(Trace::eventsOfKind("photos").empty());
  }
}

TEST_F(PhotosTest, ChangeRequestsOutsideAChangeBlockRaise) {
  PhotosDriver::setAuthorizationStatus(PhotoAuthorizationStatus::Authorized);
  const std::function<void()> requests[] = {
      [] { AssetChangeRequest::creationRequestForAssetFromImage(drawnImage()); },
      [] { AssetCollectionChangeRequest::creationRequestForAssetCollectionWithTitle("VOZ"); },
      [] { AssetCollectionChangeRequest::changeRequestForAssetCollection(nullptr); },
  };
  for (const auto& request : requests) {
    try {
      request();
      ADD_FAILURE() << "no exception";
    } catch (const Exception& e) {
      EXPECT_EQ(e.name(), kInternalInconsistencyException);
    }
  }
  EXPECT_TRUE(PhotosDriver::albums().empty());
}

TEST_F(PhotosTest, AlbumTitlesNeverEscapeThePhotosFolderAndKeepTheirTitle) {
  PhotosDriver::setAuthorizationStatus(PhotoAuthorizationStatus::Authorized);
  const std::string titles[] = {"VOZ", "VOZ", "../../escape", "..", ".hidden", "a/b"};
  for (const auto& title : titles) ASSERT_TRUE(saveIntoNewAlbum(title, drawnImage()).success) << title;

  EXPECT_FALSE(fs::exists(Home::photos().parent_path() / "escape"));
  auto albums = PhotosDriver::albums();
  ASSERT_EQ(albums.size(), std::size(titles));
  std::multiset<std::string> found;
  for (const auto& album : albums) {
    EXPECT_EQ(album.folder.parent_path(), Home::photos()) << album.title;
    EXPECT_EQ(album.images.size(), 1u) << album.title;
    found.insert(album.title);
  }
  EXPECT_EQ(found, std::multiset<std::string>(std::begin(titles), std::end(titles)));

  auto options = FetchOptions::withPredicate("title = %@", {Value("VOZ")});
  EXPECT_EQ(
      AssetCollection::fetchAssetCollectionsWithType(AssetCollectionType::Album, AssetCollectionSubtype::Any, &options)
          .count(),
      2u);
}

TEST_F(PhotosTest, FetchesSeeNothingWithoutAccessAndRefuseUnknownPredicates) {
  fs::create_directories(Home::photos() / "VOZ");
  struct Case {
    PhotoAuthorizationStatus status;
    std::size_t albums;
  };
  for (const Case c : {Case{PhotoAuthorizationStatus::NotDetermined, 0}, Case{PhotoAuthorizationStatus::Denied, 0},
                       Case{PhotoAuthorizationStatus::Limited, 1}, Case{PhotoAuthorizationStatus::Authorized, 1}}) {
    PhotosDriver::setAuthorizationStatus(c.status);
    EXPECT_EQ(
        AssetCollection::fetchAssetCollectionsWithType(AssetCollectionType::Album, AssetCollectionSubtype::Any).count(),
        c.albums);
  }
  EXPECT_EQ(AssetCollection::fetchAssetCollectionsWithType(AssetCollectionType::SmartAlbum, AssetCollectionSubtype::Any)
                .count(),
            0u);
  for (const char* format : {"title CONTAINS %@", "estimatedAssetCount = %@", "title = 'VOZ'"}) {
    auto options = FetchOptions::withPredicate(format, {Value("VOZ")});
    EXPECT_THROW(AssetCollection::fetchAssetCollectionsWithType(AssetCollectionType::Album, AssetCollectionSubtype::Any,
                                                                &options),
                 Exception)
        << format;
  }
  auto noArgument = FetchOptions::withPredicate("title = %@", {});
  EXPECT_THROW(AssetCollection::fetchAssetCollectionsWithType(AssetCollectionType::Album, AssetCollectionSubtype::Any,
                                                              &noArgument),
               Exception);
}

}  // namespace
}  // namespace platform
