#include "tools/terminal/key_reader.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace terminal {

namespace {

// How long an escape byte waits for the rest of a sequence before it counts as the escape key.
constexpr int kEscapeWaitMilliseconds = 30;

std::size_t utf8Length(unsigned char lead) {
  if (lead < 0x80) return 1;
  if ((lead & 0xE0) == 0xC0) return 2;
  if ((lead & 0xF0) == 0xE0) return 3;
  if ((lead & 0xF8) == 0xF0) return 4;
  return 0;
}

}  // namespace

std::vector<Key> decodeKeys(std::string_view bytes, bool final, std::size_t& consumed) {
  std::vector<Key> keys;
  std::size_t i = 0;
  while (i < bytes.size()) {
    const unsigned char b = static_cast<unsigned char>(bytes[i]);
    if (b == 0x1b) {
      if (i + 1 >= bytes.size()) {
        if (!final) break;
        keys.push_back({Key::Kind::Escape, {}});
        ++i;
        continue;
      }
      const char next = bytes[i + 1];
      if (next == '[' || next == 'O') {
        // CSI or SS3: parameters, then a final byte from '@' to '~'.
        std::size_t j = i + 2;
        while (j < bytes.size() && !(bytes[j] >= '@' && bytes[j] <= '~')) ++j;
        if (j >= bytes.size()) {
          if (!final) break;
          i = bytes.size();
          continue;
        }
        switch (bytes[j]) {
          case 'A':
            keys.push_back({Key::Kind::Up, {}});
            break;
          case 'B':
            keys.push_back({Key::Kind::Down, {}});
            break;
          case 'C':
            keys.push_back({Key::Kind::Right, {}});
            break;
          case 'D':
            keys.push_back({Key::Kind::Left, {}});
            break;
          default:
            break;
        }
        i = j + 1;
        continue;
      }
      // Escape followed by anything else: the escape key, then that key.
      keys.push_back({Key::Kind::Escape, {}});
      ++i;
      continue;
    }
    if (b == '\r' || b == '\n') {
      keys.push_back({Key::Kind::Enter, {}});
      // A terminal sending CR LF for one return gives one key.
      if (b == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') ++i;
      ++i;
      continue;
    }
    if (b == 0x7f || b == 0x08) {
      keys.push_back({Key::Kind::Backspace, {}});
      ++i;
      continue;
    }
    if (b == '\t') {
      keys.push_back({Key::Kind::Tab, {}});
      ++i;
      continue;
    }
    if (b == 0x03) {
      keys.push_back({Key::Kind::Interrupt, {}});
      ++i;
      continue;
    }
    if (b == 0x04) {
      keys.push_back({Key::Kind::EndOfInput, {}});
      ++i;
      continue;
    }
    if (b < 0x20) {
      ++i;
      continue;
    }
    const std::size_t length = utf8Length(b);
    if (length == 0) {
      ++i;  // a stray continuation byte
      continue;
    }
    bool valid = true;
    for (std::size_t k = 1; k < length && i + k < bytes.size(); ++k) {
      if ((static_cast<unsigned char>(bytes[i + k]) & 0xC0) != 0x80) valid = false;
    }
    if (!valid) {
      ++i;  // a lead byte without its continuation
      continue;
    }
    if (i + length > bytes.size()) {
      if (!final) break;
      i = bytes.size();
      continue;
    }
    keys.push_back(Key::character(std::string(bytes.substr(i, length))));
    i += length;
  }
  consumed = i;
  return keys;
}

KeyReader::KeyReader(Handler handler) : handler_(std::move(handler)) {
  if (::pipe2(wakePipe_, O_CLOEXEC) != 0) {
    wakePipe_[0] = wakePipe_[1] = -1;
  }
  thread_ = std::thread([this] { loop(); });
}

KeyReader::~KeyReader() {
  if (wakePipe_[1] >= 0) {
    const char stop = 0;
    ssize_t ignored = ::write(wakePipe_[1], &stop, 1);
    (void)ignored;
  }
  if (thread_.joinable()) thread_.join();
  for (int fd : wakePipe_) {
    if (fd >= 0) ::close(fd);
  }
}

void KeyReader::loop() {
  std::string pending;
  for (;;) {
    struct pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {wakePipe_[0], POLLIN, 0}};
    // With half a sequence waiting, a short wait decides whether it was a lone escape.
    const int timeout = pending.empty() ? -1 : kEscapeWaitMilliseconds;
    const int ready = ::poll(fds, wakePipe_[0] >= 0 ? 2 : 1, timeout);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0 && wakePipe_[0] >= 0) return;
    bool final = ready == 0;
    if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
      char buffer[256];
      const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
      if (n > 0) {
        pending.append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
        // The terminal went away: nothing more will be typed.
        handler_(Key{Key::Kind::EndOfInput, {}});
        return;
      } else if (n < 0) {
        continue;
      }
    }
    std::size_t consumed = 0;
    auto keys = decodeKeys(pending, final, consumed);
    pending.erase(0, consumed);
    for (const auto& key : keys) handler_(key);
  }
}

}  // namespace terminal
