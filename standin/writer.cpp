#include <algorithm>
#include <charconv>

#include "standin/file.h"
#include "standin/names.h"

namespace standin {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

void AppendQuoted(std::string &out, std::string_view text) {
  out.push_back('"');
  for (char c : text) {
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('"');
}

// A REG_SZ is written as a quoted string only when that reads back the
// same: one trailing NUL and no control characters before it. In a version
// 5 file its data are UTF-16LE: `text` gets them as the file's text, which
// must then be valid UTF-16 of an even length.
bool IsPlainString(const Value &value, std::string &text) {
  std::string_view d = value.data();
  if (value.type() != kString) return false;
  if (CurrentTextForm() == TextForm::kRegedit5) {
    std::u16string units = UnitsOfBytes(d);
    if (d.size() % 2 != 0 || !IsValidUtf16(units) || !FromUtf16(units, text)) return false;
    d = text;
  }
  if (d.empty() || d.back() != '\0') return false;
  text.assign(d.substr(0, d.size() - 1));
  return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x20; });
}

// Bytes as "xx,xx": a line ends after column 76 with a backslash, and the
// next goes on indented by two blanks, as regedit writes them.
void AppendHex(std::string &out, const Value &value) {
  char type[9];
  char *typeEnd = std::to_chars(type, type + sizeof type, value.type(), 16).ptr;
  out += value.type() == kBinary ? "hex:" : "hex(" + std::string(type, typeEnd) + "):";
  std::size_t column = out.size() - out.rfind('\n') - 1;
  std::string_view data = value.data();
  // Room for "xx," a byte and a line break every 25 bytes, filled in place.
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

void AppendValue(std::string &out, const Value &value) {
  if (value.name().empty()) {
    out.push_back('@');
  } else {
    AppendQuoted(out, value.name());
  }
  out.push_back('=');
  std::string text;
  if (IsPlainString(value, text)) {
    AppendQuoted(out, text);
  } else if (value.type() == kDword && value.data().size() == 4) {
    out += "dword:";
    for (int i = 3; i >= 0; --i) {
      auto byte = static_cast<unsigned char>(value.data()[static_cast<std::size_t>(i)]);
      out.push_back(kHexDigits[byte >> 4]);
      out.push_back(kHexDigits[byte & 15]);
    }
  } else {
    AppendHex(out, value);
  }
  out.push_back('\n');
}

// Hands the text on in pieces of about this size, so that a large registry
// is never held twice in memory.
constexpr std::size_t kChunk = 1 << 20;

bool AppendKey(std::string &out, std::string &path, const Key &key, bool isRoot, const Sink &sink) {
  std::size_t pathLength = path.size();
  if (!isRoot) path.push_back('\\');
  path += key.name;
  // A key without values is written only where no subkey's section implies
  // it, so that the file grows with the tree, not with its depth squared.
  if (!key.values().empty() || (!isRoot && key.subkeys.empty())) {
    out += '[';
    out += path;
    out += "]\n";
    for (const Value &value : key.values()) AppendValue(out, value);
    out.push_back('\n');
  }
  if (out.size() >= kChunk) {
    if (!sink(out)) return false;
    out.clear();
  }
  for (const auto &subkey : key.subkeys) {
    if (!AppendKey(out, path, *subkey, false, sink)) return false;
  }
  path.resize(pathLength);
  return true;
}

// A version 5 file goes out as UTF-16LE with a byte-order mark and CR LF,
// as regedit writes it; the text is made in the stored form of names, which
// keeps every unit (see names.h), and converted piece by piece.
Sink InUtf16(const Sink &sink) {
  return [&sink, started = false, bytes = std::string()](std::string_view piece) mutable {
    bytes.assign(started ? "" : "\xFF\xFE");
    started = true;
    Utf16Units units(piece);
    for (char16_t unit = 0; units.Next(unit);) {
      if (unit == u'\n') bytes.append("\r\0", 2);
      bytes.push_back(static_cast<char>(unit & 0xFF));
      bytes.push_back(static_cast<char>(unit >> 8));
    }
    return sink(bytes);
  };
}

}  // namespace

bool Write(const Key &top, const Sink &to) {
  bool utf16 = CurrentTextForm() == TextForm::kRegedit5;
  const Sink sink = utf16 ? InUtf16(to) : to;
  std::string out = std::string(utf16 ? kRegedit5 : kRegedit4) + "\n\n";
  out.reserve(kChunk + kChunk / 4);
  std::string path;
  for (const auto &root : top.subkeys) {
    if (!AppendKey(out, path, *root, true, sink)) return false;
  }
  return sink(out);
}

std::string Write(const Key &top) {
  std::string text;
  Write(top, [&text](std::string_view piece) {
    text += piece;
    return true;
  });
  return text;
}

}  // namespace standin
