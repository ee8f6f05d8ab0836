#include "platform/foundation/format.h"

#include <cstdio>
#include <cstring>

namespace platform {

namespace {

struct Spec {
  std::string flags;
  int width = -1;
  int precision = -1;
  char conversion = 0;
};

std::int64_t asSigned(const FormatArg* arg) {
  if (!arg) return 0;
  return std::visit(
      [](const auto& v) -> std::int64_t {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::int64_t>) return v;
        if constexpr (std::is_same_v<T, std::uint64_t>) return static_cast<std::int64_t>(v);
        if constexpr (std::is_same_v<T, double>) return static_cast<std::int64_t>(v);
        if constexpr (std::is_same_v<T, const Value*>) return v->integerValue();
        if constexpr (std::is_same_v<T, FormatArg::Pointer>) return reinterpret_cast<std::intptr_t>(v.p);
        return 0;
      },
      arg->storage());
}

double asDouble(const FormatArg* arg) {
  if (!arg) return 0;
  return std::visit(
      [](const auto& v) -> double {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::int64_t> || std::is_same_v<T, std::uint64_t> || std::is_same_v<T, double>) {
          return static_cast<double>(v);
        }
        if constexpr (std::is_same_v<T, const Value*>) return v->doubleValue();
        return 0;
      },
      arg->storage());
}

std::string asText(const FormatArg* arg) {
  if (!arg) return "(null)";
  return std::visit(
      [](const auto& v) -> std::string {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::int64_t> || std::is_same_v<T, std::uint64_t>) return std::to_string(v);
        if constexpr (std::is_same_v<T, double>) return Value(v).description();
        if constexpr (std::is_same_v<T, std::string_view>) return std::string(v);
        if constexpr (std::is_same_v<T, FormatArg::Described>) return v.text;
        if constexpr (std::is_same_v<T, const Value*>) return v->description();
        if constexpr (std::is_same_v<T, FormatArg::Pointer>) {
          if (!v.p) return "(null)";
          char buf[32];
          std::snprintf(buf, sizeof buf, "%p", v.p);
          return buf;
        }
        return {};
      },
      arg->storage());
}

void pad(std::string& out, const std::string& text, const Spec& spec) {
  const bool left = spec.flags.find('-') != std::string::npos;
  const std::size_t width = spec.width > 0 ? static_cast<std::size_t>(spec.width) : 0;
  if (text.size() >= width) {
    out += text;
  } else if (left) {
    out += text;
    out.append(width - text.size(), ' ');
  } else {
    out.append(width - text.size(), ' ');
    out += text;
  }
}

// Formats one numeric conversion through the C library with the caller's flags and width.
template <class T>
void cformat(std::string& out, const Spec& spec, const char* length, T value) {
  std::string f = "%" + spec.flags;
  if (spec.width >= 0) f += std::to_string(spec.width);
  if (spec.precision >= 0) f += "." + std::to_string(spec.precision);
  f += length;
  f += spec.conversion;
  char small[128];
  const int n = std::snprintf(small, sizeof small, f.c_str(), value);
  if (n < 0) return;
  if (static_cast<std::size_t>(n) < sizeof small) {
    out.append(small, static_cast<std::size_t>(n));
  } else {
    std::string big(static_cast<std::size_t>(n) + 1, '\0');
    std::snprintf(big.data(), big.size(), f.c_str(), value);
    out.append(big.data(), static_cast<std::size_t>(n));
  }
}

}  // namespace

std::string formatArgs(std::string_view fmt, std::span<const FormatArg> args) {
  std::string out;
  out.reserve(fmt.size() + 16 * args.size());
  std::size_t next = 0;
  auto take = [&]() -> const FormatArg* { return next < args.size() ? &args[next++] : nullptr; };

  for (std::size_t i = 0; i < fmt.size(); ++i) {
    const char c = fmt[i];
    if (c != '%') {
      out += c;
      continue;
    }
    if (i + 1 >= fmt.size()) {
      out += c;
      break;
    }
    Spec spec;
    std::size_t j = i + 1;
    while (j < fmt.size() && std::strchr("-+ #0'", fmt[j])) {
      if (fmt[j] != '\'') spec.flags += fmt[j];
      ++j;
    }
    if (j < fmt.size() && fmt[j] == '*') {
      spec.width = static_cast<int>(asSigned(take()));
      if (spec.width < 0) {
        spec.flags += '-';
        spec.width = -spec.width;
      }
      ++j;
    } else {
      while (j < fmt.size() && fmt[j] >= '0' && fmt[j] <= '9') spec.width = (spec.width < 0 ? 0 : spec.width * 10) + (fmt[j++] - '0');
    }
    if (j < fmt.size() && fmt[j] == '.') {
      ++j;
      spec.precision = 0;
      if (j < fmt.size() && fmt[j] == '*') {
        spec.precision = static_cast<int>(asSigned(take()));
        ++j;
      } else {
        while (j < fmt.size() && fmt[j] >= '0' && fmt[j] <= '9') spec.precision = spec.precision * 10 + (fmt[j++] - '0');
      }
    }
    // Length modifiers only tell the width of the C argument; ours are already 64-bit.
    while (j < fmt.size() && std::strchr("hlqLzjt", fmt[j])) ++j;
    if (j >= fmt.size()) {
      out.append(fmt.substr(i));
      break;
    }
    spec.conversion = fmt[j];
    i = j;
    switch (spec.conversion) {
      case '%':
        out += '%';
        break;
      case '@': {
        pad(out, asText(take()), spec);
        break;
      }
      case 's':
      case 'S': {
        std::string text = asText(take());
        if (spec.precision >= 0 && text.size() > static_cast<std::size_t>(spec.precision)) text.resize(spec.precision);
        pad(out, text, spec);
        break;
      }
      case 'c':
      case 'C': {
        const auto code = asSigned(take());
        pad(out, std::string(1, static_cast<char>(code)), spec);
        break;
      }
      case 'd':
      case 'i':
        cformat(out, spec, "ll", static_cast<long long>(asSigned(take())));
        break;
      case 'u':
      case 'x':
      case 'X':
      case 'o':
        cformat(out, spec, "ll", static_cast<unsigned long long>(asSigned(take())));
        break;
      case 'f':
      case 'F':
      case 'e':
      case 'E':
      case 'g':
      case 'G':
      case 'a':
      case 'A':
        cformat(out, spec, "", asDouble(take()));
        break;
      case 'p': {
        const FormatArg* arg = take();
        const void* p = nullptr;
        if (arg) {
          if (auto ptr = std::get_if<FormatArg::Pointer>(&arg->storage())) p = ptr->p;
          else p = reinterpret_cast<const void*>(static_cast<std::intptr_t>(asSigned(arg)));
        }
        char buf[32];
        std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(p)));
        pad(out, buf, spec);
        break;
      }
      default:
        // Unknown conversions are printed as written.
        out += '%';
        out += spec.conversion;
        break;
    }
  }
  return out;
}

}  // namespace platform
