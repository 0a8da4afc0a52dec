#include <algorithm>
#include <charconv>

#include "regfile/names.h"
#include "regfile/reg_format.h"
#include "registry/text.h"

namespace regfile {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

// Quotes and backslashes escaped, and CR and LF as regedit writes them, so
// that a value name holding them stays on its line.
void AppendQuoted(std::string &out, std::string_view text) {
  out.push_back('"');
  for (char c : text) {
    if (c == '\\' || c == '"') out.push_back('\\');
    if (c == '\r' || c == '\n') {
      out += c == '\r' ? "\\r" : "\\n";
    } else {
      out.push_back(c);
    }
  }
  out.push_back('"');
}

// A REG_SZ is written as a quoted string only when that reads back the
// same: one trailing NUL and no control characters before it. In a version
// 5 file its data are UTF-16LE: `text` gets them as the file's text, which
// must then be valid UTF-16 of an even length.
bool IsPlainString(const Value &value, const FileForm &form, std::string &text) {
  std::string_view d = value.data();
  if (value.type() != kString) return false;
  if (form.HoldsUtf16Data()) {
    std::u16string units = UnitsOfBytes(d);
    if (d.size() % 2 != 0 || !IsValidUtf16(units) || !FromUtf16(units, text)) return false;
    d = text;
  }
  if (d.empty() || d.back() != '\0') return false;
  text.assign(d.substr(0, d.size() - 1));
  return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x20; });
}

// The bytes regedit widens back into the text `data` holds (see
// FileForm::WidensHexText): its units, when they are ASCII and end in a NUL
// unit, or there are none.
bool NarrowText(std::string_view data, std::string &bytes) {
  bytes.clear();
  if (data.size() % 2 != 0 || (!data.empty() && data.substr(data.size() - 2) != std::string_view("\0\0", 2)))
    return false;
  for (std::size_t i = 0; i < data.size(); i += 2) {
    if (static_cast<unsigned char>(data[i]) >= 0x80 || data[i + 1] != '\0') return false;
    bytes.push_back(data[i]);
  }
  return true;
}

// Bytes as "xx,xx": a line ends after column 76 with a backslash, and the
// next goes on indented by two blanks, as regedit writes them.
void AppendHex(std::string &out, std::uint32_t type, std::string_view data) {
  char digits[9];
  char *digitsEnd = std::to_chars(digits, digits + sizeof digits, type, 16).ptr;
  if (type == kBinary) {
    out += PrefixOf(kBinary);
  } else {
    out.append(PrefixOf(kTypeNamed)).append(digits, digitsEnd).append(kTypeNamedEnd);
  }
  std::size_t column = out.size() - out.rfind('\n') - 1;
  // Filled in place: three characters a byte, and a line break of four
  // (backslash, LF, two blanks) at most every 25 bytes after the first line,
  // which may hold fewer: room for one every 20 bytes and two more.
  std::size_t at = out.size();
  out.resize(at + 3 * data.size() + 4 * (data.size() / 20 + 2));
  for (std::size_t i = 0; i < data.size(); ++i) {
    auto byte = static_cast<unsigned char>(data[i]);
    out[at++] = kHexDigits[byte >> 4];
    out[at++] = kHexDigits[byte & 15];
    if (i + 1 == data.size()) break;
    out[at++] = ',';
    if ((column += 3) > 76) {
      out.replace(at, 4, "\\\n  ");
      at += 4;
      column = 2;
    }
  }
  out.resize(at);
}

// False when the code page of the file has no form for the value's text.
bool AppendValue(std::string &out, const Value &value, const FileForm &form) {
  if (value.name().empty()) {
    out.push_back('@');
  } else {
    AppendQuoted(out, value.name());
  }
  out.push_back('=');
  std::string text;
  if (IsPlainString(value, form, text)) {
    AppendQuoted(out, text);
  } else if (value.type() == kDword && value.data().size() == 4) {
    out += PrefixOf(kDword);
    for (int i = 3; i >= 0; --i) {
      auto byte = static_cast<unsigned char>(value.data()[static_cast<std::size_t>(i)]);
      out.push_back(kHexDigits[byte >> 4]);
      out.push_back(kHexDigits[byte & 15]);
    }
  } else if (form.codePage && !form.HoldsUtf16Data() && regtext::IsTextType(value.type())) {
    // The bytes of text in the file's code page, as they were read.
    if (!form.codePage->Encode(value.data(), text)) return false;
    AppendHex(out, value.type(), text);
  } else if (form.WidensHexText() && regtext::IsTextType(value.type())) {
    if (!NarrowText(value.data(), text)) return false;
    AppendHex(out, value.type(), text);
  } else {
    AppendHex(out, value.type(), value.data());
  }
  out.push_back('\n');
  return true;
}

// Hands the text on in pieces of about this size, so that a large registry
// is never held twice in memory.
constexpr std::size_t kChunk = 1 << 18;

bool Flush(std::string &out, const Sink &sink) {
  if (!sink(out)) return false;
  out.clear();
  return true;
}

bool AppendKey(std::string &out, std::string &path, const Key &key, bool isRoot, const FileForm &form,
               const Sink &sink) {
  std::size_t pathLength = path.size();
  if (!isRoot) path.push_back('\\');
  path += key.name;
  // A key without values is written only where no subkey's section implies
  // it, so that the file grows with the tree, not with its depth squared.
  if (!key.values().empty() || (!isRoot && key.subkeys.empty())) {
    out += '[';
    out += path;
    out += "]\n";
    // One key may hold a great many values: its text goes out a piece at a
    // time too.
    for (const Value &value : key.values()) {
      if (!AppendValue(out, value, form)) return false;
      if (out.size() >= kChunk && !Flush(out, sink)) return false;
    }
    out.push_back('\n');
  }
  if (out.size() >= kChunk && !Flush(out, sink)) return false;
  for (const auto &subkey : key.subkeys) {
    if (!AppendKey(out, path, *subkey, false, form, sink)) return false;
  }
  path.resize(pathLength);
  return true;
}

// A UTF-16LE file goes out with a byte-order mark and CR LF, as regedit
// writes it; the text is made in the stand-in's form of names, which keeps
// every unit (see names.h), and converted piece by piece: ASCII, most of
// the text, byte by byte, as no other character has an ASCII byte in it.
Sink InUtf16(const Sink &sink) {
  return [&sink, started = false, bytes = std::string()](std::string_view piece) mutable {
    std::size_t at = started ? 0 : 2;
    bytes.resize(at + 2 * piece.size() + 2 * static_cast<std::size_t>(std::count(piece.begin(), piece.end(), '\n')));
    if (!started) bytes[0] = '\xFF', bytes[1] = '\xFE';
    started = true;
    auto put = [&](char16_t unit) {
      bytes[at++] = static_cast<char>(unit & 0xFF);
      bytes[at++] = static_cast<char>(unit >> 8);
    };
    for (std::size_t i = 0; i < piece.size();) {
      auto byte = static_cast<unsigned char>(piece[i]);
      if (byte < 0x80) {
        if (byte == '\n') put(u'\r');
        put(byte);
        ++i;
        continue;
      }
      std::size_t end = i;
      while (end < piece.size() && static_cast<unsigned char>(piece[end]) >= 0x80) ++end;
      Utf16Units units(piece.substr(i, end - i));
      for (char16_t unit = 0; units.Next(unit);) put(unit);
      i = end;
    }
    bytes.resize(at);
    return sink(bytes);
  };
}

// A REGEDIT4 file in a code page goes out in it, piece by piece (pieces end
// at line ends, so no character is split).
Sink InCodePage(const CodePage &codePage, const Sink &sink) {
  return [&codePage, &sink, bytes = std::string()](std::string_view piece) mutable {
    return codePage.Encode(piece, bytes) && sink(bytes);
  };
}

Sink WithByteOrderMark(const Sink &sink) {
  return [&sink, started = false](std::string_view piece) mutable {
    if (!started && !sink("\xEF\xBB\xBF")) return false;
    started = true;
    return sink(piece);
  };
}

}  // namespace

bool Writable(std::uint32_t type, std::string_view data, const FileForm &form) {
  std::string text;
  if (!form.WidensHexText() || !regtext::IsTextType(type)) return true;
  return IsPlainString(Value("", type, data), form, text) || NarrowText(data, text);
}

bool Write(const Key &top, const FileForm &form, const Sink &to) {
  using Encoding = FileForm::Encoding;
  const Sink sink = form.encoding == Encoding::kUtf16         ? InUtf16(to)
                    : form.encoding == Encoding::kUtf8WithBom ? WithByteOrderMark(to)
                    : form.codePage                           ? InCodePage(*form.codePage, to)
                                                              : to;
  std::string out = std::string(form.version5 ? kRegedit5 : kRegedit4) + "\n\n";
  out.reserve(kChunk + kChunk / 4);
  std::string path;
  for (const auto &root : top.subkeys) {
    if (!AppendKey(out, path, *root, true, form, sink)) return false;
  }
  return sink(out);
}

std::string Write(const Key &top, const FileForm &form) {
  std::string text;
  Write(top, form, [&text](std::string_view piece) {
    text += piece;
    return true;
  });
  return text;
}

}  // namespace regfile
