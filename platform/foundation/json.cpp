#include "platform/foundation/json.h"

#include <nlohmann/json.hpp>

#include <charconv>
#include <cmath>
#include <limits>
#include <vector>

#include "platform/foundation/format.h"
#include "platform/foundation/strings.h"

namespace platform::JSON {

namespace {

// Deeper documents are refused before they can exhaust the stack of a reader or a writer.
constexpr std::size_t kMaxDepth = 512;




// Builds the Value while the parser reads, so nesting is bounded before anything deep is built.
class ValueBuilder {
 public:
  using number_integer_t = nlohmann::json::number_integer_t;
  using number_unsigned_t = nlohmann::json::number_unsigned_t;
  using number_float_t = nlohmann::json::number_float_t;
  using string_t = nlohmann::json::string_t;
  using binary_t = nlohmann::json::binary_t;

  bool null() { return add(Value()); }
  bool boolean(bool b) { return add(Value(b)); }
  bool number_integer(number_integer_t i) { return add(Value(static_cast<long long>(i))); }
  bool number_unsigned(number_unsigned_t u) {
    // Non-negative literals arrive here; they are integers unless only unsigned can hold them.
    if (u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      return add(Value(static_cast<long long>(u)));
    }
    return add(Value(static_cast<unsigned long long>(u)));
  }
  bool number_float(number_float_t d, const string_t&) {
    if (!std::isfinite(d)) return fail("Number out of range.");
    return add(Value(d));
  }
  bool string(string_t& s) { return add(Value(std::move(s))); }
  bool binary(binary_t&) { return fail("Binary values are not JSON."); }
  bool start_object(std::size_t) { return open(Value(Value::Dictionary{})); }
  bool key(string_t& k) {
    keys_.back() = std::move(k);
    return true;
  }
  bool end_object(){ return close(); }
  bool start_array(std::size_t) { return open(Value(Value::Array{})); }
  bool end_array() { return close(); }
  bool parse_error(std::size_t position, const std::string&, const nlohmann::json::exception& e) {
    std::string message = e.what();
    // The library prefixes its own identifier; the position is what a reader needs.
    if (auto bracket = message.find("] "); bracket != std::string::npos) message.erase(0, bracket + 2);
    detail_ = format("%s (at byte %lu)", message, position);
    return false;
  }

  std::optional<Value> result() { return done_ ? std::optional<Value>(std::move(root_)) : std::nullopt; }
  const std::string& detail() const { return detail_; }

 private:
  bool fail(std::string detail) {
    detail_ = std::move(detail);
    return false;
  }

  bool open(Value container) {
    if (stack_.size() >= kMaxDepth) return fail("Too many nested arrays or dictionaries.");
    stack_.push_back(std::move(container));
    keys_.emplace_back();
    return true;
  }

  bool close() {
    Value finished = std::move(stack_.back());
    stack_.pop_back();
    keys_.pop_back();
    return add(std::move(finished));
  }

  bool add(Value v) {
    if (stack_.empty()) {
      root_ = std::move(v);
      done_ = true;
      return true;
    }
    Value& top = stack_.back();
    if (top.isArray()) {
      top.mutableArray()->push_back(std::move(v));
    } else {
      // A repeated key keeps the last value.
      (*top.mutableDictionary())[keys_.back()] = std::move(v);
    }
    return true;
  }

  std::vector<Value> stack_;
  std::vector<std::string> keys_;
  Value root_;
  bool done_ = false;
  std::string detail_;
};

void appendEscaped(std::string& out, std::string_view s) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.push_back('"');
  for (char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"': out.append("\\\""); break;
      case '\\': out.append("\\\\"); break;
      case '\n': out.append("\\n"); break;
      case '\r': out.append("\\r"); break;
      case '\t': out.append("\\t"); break;
      case '\b': out.append("\\b"); break;
      case '\f': out.append("\\f"); break;
      default:
        if (c < 0x20) {
          out.append("\\u00");
          out.push_back(kHex[c >> 4]);
          out.push_back(kHex[c & 0x0F]);
        } else {
          out.push_back(ch);
        }
    }
  }
  out.push_back('"');
}

class Writer {
 public:
  explicit Writer(bool pretty) : pretty_(pretty) {}

  bool write(const Value& v, std::size_t depth) {
    if (depth > kMaxDepth) return fail("Too many nested arrays or dictionaries.");
    switch (v.type()) {
      case Value::Type::Null: out_.append("null"); return true;
      case Value::Type::Bool: out_.append(*v.ifBool() ? "true" : "false"); return true;
      case Value::Type::Integer: out_.append(std::to_string(*v.ifInteger())); return true;
      case Value::Type::Unsigned: out_.append(std::to_string(*v.ifUnsigned())); return true;
      case Value::Type::Double: return writeDouble(*v.ifDouble());
      case Value::Type::String:
        if (!strings::isValidUTF8(*v.ifString())) return fail("Invalid UTF-8 in string in JSON write.");
        appendEscaped(out_, *v.ifString());
        return true;
      case Value::Type::Data: return fail("Invalid type in JSON write (data).");
      case Value::Type::Date: return fail("Invalid type in JSON write (date).");
      case Value::Type::Array: {
        const auto& items = *v.ifArray();
        if (items.empty()) {
          out_.append("[]");
          return true;
        }
        out_.push_back('[');
        bool first = true;
        for (const auto& item : items) {
          separate(first, depth + 1);
          if (!write(item, depth + 1)) return false;
        }
        newline(depth);
        out_.push_back(']');
        return true;
      }
      case Value::Type::Dictionary: {
        const auto& entries = *v.ifDictionary();
        if (entries.empty()) {
          out_.append("{}");
          return true;
        }
        out_.push_back('{');
        bool first = true;
        // The map keeps its keys in sorted order, so the output is always sorted.
        for (const auto& [key, item] : entries) {
          separate(first, depth + 1);
          if (!strings::isValidUTF8(key)) return fail("Invalid UTF-8 in key in JSON write.");
          appendEscaped(out_, key);
          out_.append(pretty_ ? " : " : ":");
          if (!write(item, depth + 1)) return false;
        }
        newline(depth);
        out_.push_back('}');
        return true;
      }
    }
    return fail("Invalid type in JSON write.");
  }

  std::string take() { return std::move(out_); }
  const std::string& detail() const { return detail_; }

 private:
  bool fail(std::string detail) {
    detail_ = std::move(detail);
    return false;
  }

  bool writeDouble(double d) {
    if (std::isnan(d)) return fail("Invalid number value (NaN) in JSON write.");
    if (std::isinf(d)) return fail("Invalid number value (infinite) in JSON write.");
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, d);
    std::string_view text(buffer, static_cast<std::size_t>(result.ptr - buffer));
    out_.append(text);
    // A double keeps a fraction or exponent so that it reads back as a double, not an integer.
    if (text.find_first_of(".e") == std::string_view::npos) out_.append(".0");
    return true;
  }

  void separate(bool& first, std::size_t depth) {
    if (!first) out_.push_back(',');
    first = false;
    newline(depth);
  }

  void newline(std::size_t depth) {
    if (!pretty_) return;
    out_.push_back('\n');
    out_.append(depth * 2, ' ');
  }

  bool pretty_;
  std::string out_;
  std::string detail_;
};

}  // namespace

std::optional<Value> parse(std::string_view text, Error* error) {
  if (text.empty()) {
    setError(error, corruptDataError("Unable to parse empty data."));
    return std::nullopt;
  }
  // The parser takes a NUL byte for the end of the text; in JSON it can only be garbage.
  if (text.find('\0') != std::string_view::npos) {
    setError(error, corruptDataError("Unexpected NUL character."));
    return std::nullopt;
  }
  ValueBuilder builder;
  bool ok = false;
  try {
    ok = nlohmann::json::sax_parse(text.begin(), text.end(), &builder);
  } catch (const std::exception& e) {
    // The parser reports through the builder; anything thrown is still only bad input.
    setError(error, corruptDataError(e.what()));
    return std::nullopt;
  }
  auto result = ok ? builder.result() : std::nullopt;
  if (!result) setError(error, corruptDataError(builder.detail().empty() ? "Invalid JSON." : builder.detail()));
  return result;
}

std::optional<Value> parse(const Data& bytes, Error* error) {
  return parse(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), error);
}

std::optional<std::string> serialize(const Value& value, bool pretty, Error* error) {
  Writer writer(pretty);
  if (!writer.write(value, 0)) {
    setError(error, invalidValueError(writer.detail()));
    return std::nullopt;
  }
  return writer.take();
}

}  // namespace platform::JSON
