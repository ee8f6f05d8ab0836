#include <filesystem>
#include <string>
#include <vector>

#include "app/card_view_controller.h"
#include "app/custom_photo_album.h"
#include "focus_extras_fixture.h"
#include "platform/foundation/file_manager.h"
#include "platform/foundation/home.h"
#include "platform/photos/photo_library.h"

namespace {

namespace fs = std::filesystem;
using Status = platform::PhotoAuthorizationStatus;

class PhotoAlbumTest : public FocusExtrasTest {
 protected:
  // A one-minute period run down on the play button, then the card in front.
  std::shared_ptr<CardViewController> reachCard() {
    auto focus = launch(Launch().onDevice("iPad").with(kFocusTimeKey, 1));
    EXPECT_TRUE(tap(focus->startButton()));
    advance(60 + platform::ViewController::kTransitionDuration);
    return topScreen<CardViewController>();
  }
  static void settlePhotos() {
    for (int i = 0; i < 3; ++i) {
      platform::testing::drain(platform::PhotoLibrary::sharedPhotoLibrary()->queue());
      settle();
    }
  }
  static void save(CardViewController& card) {
    ASSERT_TRUE(tap(card.saveButton()));
    settlePhotos();
  }
  static std::vector<std::string> albumImages(const std::string& title = "VOZ") {
    for (const auto& album : platform::PhotosDriver::albums()) {
      if (album.title == title) return album.images;
    }
    return {};
  }
  static std::string saveImageName(const CardViewController& card) {
    auto image = card.saveButton()->imageForState(platform::kControlStateNormal);
    return image ? image->name() : "";
  }
  static void expectIdle(const CardViewController& card) {
    EXPECT_EQ(saveImageName(card), "save_btn");
    EXPECT_TRUE(card.titleButton()->isEnabled());
    EXPECT_TRUE(card.timeButton()->isEnabled());
    EXPECT_TRUE(card.saveButton()->isEnabled());
  }
};

TEST_F(PhotoAlbumTest, EveryAuthorisationStatusSavesIntoVozOrOnlyPrints) {
  struct Case {
    const char* name;
    Status before;
    Status answer;
    bool saves;
    int prompts;
    std::vector<std::string> printed;
  };
  const Case cases[] = {
      {"asked, allowed", Status::NotDetermined, Status::Authorized, true, 1, {}},
      {"asked, limited", Status::NotDetermined, Status::Limited, true, 1, {}},
      {"asked, denied", Status::NotDetermined, Status::Denied, false, 1, {"Photo access denied"}},
      {"asked, restricted", Status::NotDetermined, Status::Restricted, false, 1, {}},
      {"restricted", Status::Restricted, Status::Authorized, false, 0, {"Photo access restricted"}},
      {"denied", Status::Denied, Status::Authorized, false, 0, {"Photo access denied"}},
      {"authorised", Status::Authorized, Status::Denied, true, 0, {}},
      {"limited", Status::Limited, Status::Denied, true, 0, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto card = reachCard();
    ASSERT_TRUE(card);
    platform::PhotosDriver::setAuthorizationStatus(c.before);
    platform::PhotosDriver::setAuthorizationAnswer(c.answer);
    platform::testing::LogCapture log;

    save(*card);

    EXPECT_EQ(platform::PhotosDriver::authorizationPromptCount(), c.prompts);
    EXPECT_EQ(log.prints(), c.printed);
    if (!c.saves) {
      EXPECT_TRUE(platform::PhotosDriver::albums().empty());
      EXPECT_TRUE(platform::PhotosDriver::libraryImages().empty());
      expectIdle(*card);
    } else {
      // The album is created on first use, and the card lands in it.
      EXPECT_EQ(albumImages(), std::vector<std::string>{"IMG_0001.png"});
      auto png =
          platform::FileManager::defaultManager().contentsAtPath(platform::Home::photos() / "VOZ" / "IMG_0001.png");
      ASSERT_TRUE(png);
      auto image = platform::Image::fromPNGData(*png);
      ASSERT_TRUE(image);
      EXPECT_EQ(image->size(), (platform::Size{1000, 1465}));

      EXPECT_EQ(saveImageName(*card), "saved_icon");
      EXPECT_FALSE(card->titleButton()->isEnabled());
      EXPECT_FALSE(card->timeButton()->isEnabled());
      EXPECT_TRUE(card->saveButton()->isEnabled());
      advance(1.49);
      EXPECT_EQ(saveImageName(*card), "saved_icon");
      advance(0.02);
      expectIdle(*card);
    }
    app_.reset();
    resetWorld();
    fs::remove_all(platform::Home::photos());
  }
}

TEST_F(PhotoAlbumTest, AnAlbumTheUserAlreadyHasIsReusedNeverDuplicated) {
  fs::create_directories(platform::Home::photos() / "VOZ");
  platform::PhotosDriver::setAuthorizationStatus(Status::Authorized);
  auto card = reachCard();
  save(*card);
  advance(2);
  save(*card);
  auto albums = platform::PhotosDriver::albums();
  ASSERT_EQ(albums.size(), 1u);
  EXPECT_EQ(albums[0].images, (std::vector<std::string>{"IMG_0001.png", "IMG_0002.png"}));
}

TEST_F(PhotoAlbumTest, ASecondSaveWithinTheSavedStateShowsItAgainAndTheFirstResetStillComes) {
  platform::PhotosDriver::setAuthorizationStatus(Status::Authorized);
  auto card = reachCard();
  save(*card);
  advance(1);
  save(*card);
  EXPECT_EQ(saveImageName(*card), "saved_icon");
  advance(0.51);  // the first save's reset
  expectIdle(*card);
  advance(1);  // the second's
  expectIdle(*card);
  EXPECT_EQ(albumImages().size(), 2u);
}

TEST_F(PhotoAlbumTest, FailuresLeaveTheButtonsIdleAndASaveWithoutTheAlbumStillKeepsTheImage) {
  platform::PhotosDriver::setAuthorizationStatus(Status::Authorized);
  auto card = reachCard();
  platform::PhotosDriver::setChangesFailure(platform::Error("NSPOSIXErrorDomain", 28));
  save(*card);  // the album's creation and the save both fail
  expectIdle(*card);
  EXPECT_TRUE(platform::PhotosDriver::albums().empty());

  platform::PhotosDriver::setChangesFailure(std::nullopt);
  save(*card);  // no album known: the library alone
  EXPECT_EQ(platform::PhotosDriver::libraryImages().size(), 1u);
  EXPECT_TRUE(platform::PhotosDriver::albums().empty());
  EXPECT_EQ(saveImageName(*card), "saved_icon");
}

TEST_F(PhotoAlbumTest, AnAlbumDeletedMeanwhileDoesNotLoseTheNextSave) {
  platform::PhotosDriver::setAuthorizationStatus(Status::Authorized);
  auto card = reachCard();
  save(*card);
  ASSERT_EQ(albumImages().size(), 1u);
  fs::remove_all(platform::Home::photos() / "VOZ");
  advance(2);

  save(*card);
  EXPECT_EQ(platform::PhotosDriver::libraryImages().size(), 2u);
  EXPECT_EQ(saveImageName(*card), "saved_icon");
}

TEST_F(PhotoAlbumTest, ACardGoneBeforeItsSaveCompletesIsNotTouched) {
  platform::PhotosDriver::setAuthorizationStatus(Status::Authorized);
  auto card = std::make_shared<CardViewController>();
  card->setSessionDoneNumer(1);
  card->setSessionTime(25);
  card->view();
  card->saveImage();
  card.reset();
  settlePhotos();
  advance(2);
  EXPECT_EQ(albumImages().size(), 1u);
}

}  // namespace
