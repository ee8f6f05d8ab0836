// The period card's save: obtains photo-library access (asking the user while undecided), then
// renders the card and saves it into the app's album. Refused access is only printed.
#pragma once

#include <memory>

class CardViewController;

void saveCardToPhotoAlbum(std::weak_ptr<CardViewController> card);
