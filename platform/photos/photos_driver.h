// What tests and the terminal front end control and read of the photo library.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/error.h"
#include "platform/photos/photo_library.h"

namespace platform::PhotosDriver {

// Status not determined, the user would allow full access, no failures, no prompts counted. The
// files in the home's Photos folder are left alone (the test's home is fresh anyway), and so is
// the status saved in the home: only the memory is reset.
void reset();
// As reset, but the status is read again from the home, as a new process of the app finds it.
void forgetForRelaunch();

// As the user changing the system's settings: kept across launches.
void setAuthorizationStatus(PhotoAuthorizationStatus status);
// What the user answers at the next permission prompts.
void setAuthorizationAnswer(PhotoAuthorizationStatus answer);
// How many times the user was asked.
int authorizationPromptCount();
// Every change fails with `error` until cleared with std::nullopt (a full disk, say).
void setChangesFailure(std::optional<Error> error);

struct Album {
  std::string identifier;
  std::string title;
  std::filesystem::path folder;
  std::vector<std::string> images;  // file names
};
// The library as it stands, whatever the app's access: its albums and the images of the library.
std::vector<Album> albums();
std::vector<std::string> libraryImages();

}  // namespace platform::PhotosDriver
