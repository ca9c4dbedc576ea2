#include "tools/llvm_profile/raw_profile.h"

#include <zlib.h>

#include <array>
#include <cstring>
#include <optional>

namespace ostrivel::llvm_profile {
namespace {

constexpr std::uint64_t kVariantMask = 0xff00000000000000ULL;
constexpr std::size_t kHeaderWords = kRawHeaderSize / 8;
// A names chunk no bigger than this may be inflated; the names of the
// largest programs are a few megabytes.
constexpr std::uint64_t kMaxNamesChunk = 1ULL << 30;

std::uint64_t Word(std::string_view bytes, std::size_t offset) {
  std::uint64_t value = 0;
  std::memcpy(&value, bytes.data() + offset, sizeof value);
  return value;
}

std::string Hex(std::uint64_t value) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text = "0x";
  for (int shift = 60; shift >= 0; shift -= 4) {
    text += kDigits[(value >> shift) & 0xf];
  }
  return text;
}

// "a + b" unless it overflows.
std::optional<std::uint64_t> Add(std::uint64_t a, std::uint64_t b) {
  if (a > UINT64_MAX - b) return std::nullopt;
  return a + b;
}

std::optional<std::uint64_t> Multiply(std::uint64_t a, std::uint64_t b) {
  if (b != 0 && a > UINT64_MAX / b) return std::nullopt;
  return a * b;
}

std::optional<std::uint64_t> ReadUleb128(std::string_view bytes,
                                         std::size_t* offset) {
  std::uint64_t value = 0;
  for (int shift = 0; shift < 64; shift += 7) {
    if (*offset >= bytes.size()) return std::nullopt;
    auto byte = static_cast<unsigned char>(bytes[(*offset)++]);
    value |= static_cast<std::uint64_t>(byte & 0x7f) << shift;
    if ((byte & 0x80) == 0) return value;
  }
  return std::nullopt;
}

void SplitNames(std::string_view text, std::vector<std::string>* names) {
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find('\x01', start);
    if (end == std::string_view::npos) end = text.size();
    if (end > start) names->emplace_back(text.substr(start, end - start));
    start = end + 1;
  }
}

// MD5 (RFC 1321), for the name hashes.
class Md5 {
 public:
  std::array<unsigned char, 16> Digest(std::string_view message) {
    std::string padded(message);
    std::uint64_t bits = static_cast<std::uint64_t>(message.size()) * 8;
    padded.push_back(static_cast<char>(0x80));
    while (padded.size() % 64 != 56) padded.push_back('\0');
    for (int i = 0; i < 8; ++i) {
      padded.push_back(static_cast<char>((bits >> (8 * i)) & 0xff));
    }
    for (std::size_t block = 0; block < padded.size(); block += 64) {
      Round(reinterpret_cast<const unsigned char*>(padded.data()) + block);
    }
    std::array<unsigned char, 16> digest{};
    for (int i = 0; i < 4; ++i) {
      for (int j = 0; j < 4; ++j) {
        digest[i * 4 + j] = static_cast<unsigned char>((state_[i] >> (8 * j)));
      }
    }
    return digest;
  }

 private:
  static std::uint32_t Rotate(std::uint32_t x, int c) {
    return (x << c) | (x >> (32 - c));
  }

  void Round(const unsigned char* block) {
    static constexpr std::array<int, 64> kShift = {
        7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
        5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
        4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
        6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};
    static constexpr std::array<std::uint32_t, 64> kSine = {
        0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a,
        0xa8304613, 0xfd469501, 0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be,
        0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821, 0xf61e2562, 0xc040b340,
        0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
        0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8,
        0x676f02d9, 0x8d2a4c8a, 0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c,
        0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70, 0x289b7ec6, 0xeaa127fa,
        0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
        0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92,
        0xffeff47d, 0x85845dd1, 0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1,
        0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};
    std::array<std::uint32_t, 16> m{};
    for (std::size_t i = 0; i < m.size(); ++i) {
      const unsigned char* word = block + i * 4;
      m[i] = static_cast<std::uint32_t>(word[0]) |
             static_cast<std::uint32_t>(word[1]) << 8 |
             static_cast<std::uint32_t>(word[2]) << 16 |
             static_cast<std::uint32_t>(word[3]) << 24;
    }
    std::uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
    for (int i = 0; i < 64; ++i) {
      std::uint32_t f = 0;
      int g = 0;
      if (i < 16) {
        f = (b & c) | (~b & d);
        g = i;
      } else if (i < 32) {
        f = (d & b) | (~d & c);
        g = (5 * i + 1) % 16;
      } else if (i < 48) {
        f = b ^ c ^ d;
        g = (3 * i + 5) % 16;
      } else {
        f = c ^ (b | ~d);
        g = (7 * i) % 16;
      }
      std::uint32_t next = d;
      d = c;
      c = b;
      b += Rotate(a + f + kSine[i] + m[g], kShift[i]);
      a = next;
    }
    state_[0] += a;
    state_[1] += b;
    state_[2] += c;
    state_[3] += d;
  }

  std::array<std::uint32_t, 4> state_ = {0x67452301, 0xefcdab89, 0x98badcfe,
                                         0x10325476};
};

}  // namespace

DataRecord DecodeRecord(std::string_view bytes) {
  DataRecord record;
  record.nameRef = Word(bytes, 0);
  record.functionHash = Word(bytes, 8);
  record.counterPointer = static_cast<std::int64_t>(Word(bytes, 16));
  std::memcpy(&record.counterCount, bytes.data() + 40,
              sizeof record.counterCount);
  return record;
}

RawProfileStatus ReadRawProfile(std::string_view bytes,
                                RawProfileLayout* layout, std::string* error) {
  *layout = RawProfileLayout{};
  if (bytes.size() < kRawHeaderSize) {
    // The runtime writes the header in one piece; a shorter file is one it
    // is still writing, or one that is no profile at all.
    if (bytes.size() >= 8 && Word(bytes, 0) != kRawMagic64) {
      *error = "is no raw profile of clang (no profile magic number)";
      return RawProfileStatus::kUnsupported;
    }
    return RawProfileStatus::kIncomplete;
  }
  std::array<std::uint64_t, kHeaderWords> header{};
  for (std::size_t i = 0; i < kHeaderWords; ++i) header[i] = Word(bytes, i * 8);
  auto [magic, version, binaryIdBytes, recordCount, paddingBefore, counterCount,
        paddingAfter, namesSize, countersDelta, namesDelta, lastValueKind] =
      header;
  (void)namesDelta;
  (void)lastValueKind;
  if (magic == kRawMagic32) {
    *error =
        "is a raw profile of a 32-bit program; only 64-bit programs' "
        "profiles are read";
    return RawProfileStatus::kUnsupported;
  }
  if (magic != kRawMagic64) {
    *error = "is no raw profile of clang (no profile magic number)";
    return RawProfileStatus::kUnsupported;
  }
  if ((version & ~kVariantMask) != kRawVersion) {
    *error = "has raw profile version " +
             std::to_string(version & ~kVariantMask) +
             "; only version 8 (clang 14 / LLVM 14) is read: build the "
             "program with clang 14";
    return RawProfileStatus::kUnsupported;
  }
  if ((version & kVariantMask) != 0) {
    *error = "is no front-end profile with 64-bit counters (variant bits " +
             Hex(version & kVariantMask) +
             "): build the program with -fprofile-instr-generate alone";
    return RawProfileStatus::kUnsupported;
  }
  std::optional<std::uint64_t> recordsOffset =
      Add(kRawHeaderSize, binaryIdBytes);
  std::optional<std::uint64_t> recordBytes =
      Multiply(recordCount, kDataRecordSize);
  std::optional<std::uint64_t> countersOffset;
  std::optional<std::uint64_t> counterBytes = Multiply(counterCount, 8);
  std::optional<std::uint64_t> namesOffset;
  std::optional<std::uint64_t> end;
  if (recordsOffset && recordBytes) {
    if (auto records = Add(*recordsOffset, *recordBytes)) {
      countersOffset = Add(*records, paddingBefore);
    }
  }
  if (countersOffset && counterBytes) {
    if (auto counters = Add(*countersOffset, *counterBytes)) {
      namesOffset = Add(*counters, paddingAfter);
    }
  }
  if (namesOffset) end = Add(*namesOffset, namesSize);
  if (!end || *countersOffset % 8 != 0) {
    *error = "has a damaged header (its parts do not fit together)";
    return RawProfileStatus::kUnsupported;
  }
  if (*end > bytes.size()) return RawProfileStatus::kIncomplete;

  layout->recordsOffset = *recordsOffset;
  layout->recordCount = recordCount;
  layout->countersOffset = *countersOffset;
  layout->counterCount = counterCount;
  layout->namesOffset = *namesOffset;
  layout->namesSize = namesSize;
  layout->records.reserve(recordCount);
  layout->firstCounter.reserve(recordCount);
  for (std::uint64_t i = 0; i < recordCount; ++i) {
    DataRecord record = DecodeRecord(
        bytes.substr(*recordsOffset + i * kDataRecordSize, kDataRecordSize));
    // Unsigned arithmetic wraps like the runtime's pointer arithmetic.
    std::uint64_t offset = static_cast<std::uint64_t>(record.counterPointer) -
                           countersDelta + i * kDataRecordSize;
    std::uint64_t first = offset / 8;
    if (offset % 8 != 0 || record.counterCount == 0 || first >= counterCount ||
        record.counterCount > counterCount - first) {
      *error = "has a damaged record " + std::to_string(i) +
               " (its counters lie outside the counters)";
      *layout = RawProfileLayout{};
      return RawProfileStatus::kUnsupported;
    }
    layout->records.push_back(record);
    layout->firstCounter.push_back(first);
  }
  return RawProfileStatus::kOk;
}

bool ReadProfileNames(std::string_view section, std::vector<std::string>* names,
                      std::string* error) {
  std::size_t offset = 0;
  while (offset < section.size()) {
    if (section[offset] == '\0') {  // padding between chunks
      ++offset;
      continue;
    }
    std::optional<std::uint64_t> plainSize = ReadUleb128(section, &offset);
    std::optional<std::uint64_t> packedSize = ReadUleb128(section, &offset);
    if (!plainSize || !packedSize) {
      *error = "the profile names are damaged (a chunk's lengths)";
      return false;
    }
    std::uint64_t stored = *packedSize != 0 ? *packedSize : *plainSize;
    if (stored > section.size() - offset) {
      *error = "the profile names are damaged (a chunk runs past the end)";
      return false;
    }
    std::string_view chunk = section.substr(offset, stored);
    offset += stored;
    if (*packedSize == 0) {
      SplitNames(chunk, names);
      continue;
    }
    if (*plainSize > kMaxNamesChunk) {
      *error = "the profile names are damaged (a chunk of " +
               std::to_string(*plainSize) + " bytes)";
      return false;
    }
    std::string plain(*plainSize, '\0');
    auto plainLength = static_cast<uLongf>(*plainSize);
    if (::uncompress(reinterpret_cast<Bytef*>(plain.data()), &plainLength,
                     reinterpret_cast<const Bytef*>(chunk.data()),
                     static_cast<uLong>(chunk.size())) != Z_OK ||
        plainLength != *plainSize) {
      *error =
          "the profile names are damaged (a compressed chunk does not "
          "inflate)";
      return false;
    }
    SplitNames(plain, names);
  }
  return true;
}

std::uint64_t NameRef(std::string_view name) {
  std::array<unsigned char, 16> digest = Md5().Digest(name);
  std::uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = value << 8 | digest[i];
  return value;
}

std::string MethodLineId(std::uint64_t nameRef) {
  return "llvm:" + Hex(nameRef).substr(2);
}

std::optional<std::uint64_t> MethodLineNameRef(std::string_view line) {
  constexpr std::string_view kPrefix = "llvm:";
  constexpr std::size_t kDigits = 16;
  if (line.substr(0, kPrefix.size()) != kPrefix ||
      line.size() < kPrefix.size() + kDigits + 1 ||
      line[kPrefix.size() + kDigits] != ';') {
    return std::nullopt;
  }
  std::uint64_t value = 0;
  for (char c : line.substr(kPrefix.size(), kDigits)) {
    int digit = c >= '0' && c <= '9'   ? c - '0'
                : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                       : -1;
    if (digit < 0) return std::nullopt;
    value = value << 4 | static_cast<std::uint64_t>(digit);
  }
  return value;
}

}  // namespace ostrivel::llvm_profile
