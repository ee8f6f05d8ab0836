// Keys typed on the terminal: decoded from the raw bytes (UTF-8 characters, the return, delete
// and escape keys, arrow sequences) and handed over one by one from a thread of their own.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace terminal {

struct Key {
  enum class Kind { Character, Enter, Escape, Backspace, Tab, Up, Down, Left, Right, Interrupt, EndOfInput };
  Kind kind = Kind::Character;
  std::string text;  // the character, UTF-8, for Kind::Character

  static Key character(std::string text) { return Key{Kind::Character, std::move(text)}; }
  friend bool operator==(const Key&, const Key&) = default;
};

// Decodes the keys at the start of `bytes`; `consumed` tells how many bytes they took. An
// incomplete sequence at the end stays unconsumed unless `final` (nothing more is coming), when
// a lone escape byte is the escape key. Unknown sequences and control bytes are dropped.
std::vector<Key> decodeKeys(std::string_view bytes, bool final, std::size_t& consumed);

class KeyReader {
 public:
  using Handler = std::function<void(const Key&)>;

  // Starts reading standard input; `handler` runs on the reader's thread.
  explicit KeyReader(Handler handler);
  // Stops the thread and waits for it.
  ~KeyReader();
  KeyReader(const KeyReader&) = delete;
  KeyReader& operator=(const KeyReader&) = delete;

 private:
  void loop();

  Handler handler_;
  int wakePipe_[2] = {-1, -1};
  std::thread thread_;
};

}  // namespace terminal
