#ifndef OSTRIVEL_TOOLS_LLVM_PROFILE_RAW_PROFILE_H_
#define OSTRIVEL_TOOLS_LLVM_PROFILE_RAW_PROFILE_H_

// Clang's front-end profile counters (-fprofile-instr-generate), as far as
// the clang route reads them: the raw profile that the program under test
// keeps in a file mapping (continuous mode), and the per-function records
// and names that the instrumented binary carries in its __llvm_prf_data and
// __llvm_prf_names sections.
//
// Only the layout that clang 14 / LLVM 14 writes is read: raw profile
// version 8, 64-bit, little-endian, front-end instrumentation with 64-bit
// counters. Whatever else is refused with a message, never guessed at.
//
// Raw profile, version 8 (offsets from the file's start):
//   0   header: 11 x uint64 (magic, version, binary-ID bytes, record count,
//       padding before the counters, counter count, padding after them,
//       name bytes, counters' address minus the records' address, names'
//       address, last value kind)
//   88  binary IDs (their byte count as the header says)
//       per-function records, kDataRecordSize bytes each
//       padding, then the counters: uint64 each, the counters of one
//       function together, its entry count first
//       padding, then the names (see ReadProfileNames())
// A record's counter pointer is relative to the record itself, so the first
// counter of record i is
//   (counterPointer_i - (countersDelta - i * kDataRecordSize)) / 8.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ostrivel::llvm_profile {

inline constexpr std::uint64_t kRawMagic64 = 0xff6c70726f667281ULL;
inline constexpr std::uint64_t kRawMagic32 = 0xff6c70726f665281ULL;
inline constexpr std::uint64_t kRawVersion = 8;
inline constexpr std::size_t kRawHeaderSize = 88;
inline constexpr std::size_t kDataRecordSize = 48;

// One per-function record: a function's name hash (the low 64 bits of the
// MD5 of its profile name), its control-flow hash, its counters' pointer
// relative to the record, and how many counters it has.
struct DataRecord {
  std::uint64_t nameRef = 0;
  std::uint64_t functionHash = 0;
  std::int64_t counterPointer = 0;
  std::uint32_t counterCount = 0;
};

// Decodes the record at the start of "bytes", which holds at least
// kDataRecordSize bytes.
DataRecord DecodeRecord(std::string_view bytes);

// Where the parts of a raw profile lie, in bytes from the file's start, and
// the counter index of each record's first counter.
struct RawProfileLayout {
  std::uint64_t recordsOffset = 0;
  std::uint64_t recordCount = 0;
  std::uint64_t countersOffset = 0;
  std::uint64_t counterCount = 0;
  std::uint64_t namesOffset = 0;
  std::uint64_t namesSize = 0;
  std::vector<DataRecord> records;
  // firstCounter[i]: the index of record i's first counter.
  std::vector<std::uint64_t> firstCounter;
};

enum class RawProfileStatus {
  kOk,
  kIncomplete,   // shorter than its header says: still being written
  kUnsupported,  // no raw profile, or one of another kind or version
};

// Reads the header and the records of the raw profile "bytes" (the whole
// file as far as it exists). On kUnsupported "*error" says what it is, as
// the rest of a sentence about the file ("has raw profile version 9; ...").
// A record whose counters lie outside the counters also makes it
// kUnsupported. Never reads outside "bytes".
RawProfileStatus ReadRawProfile(std::string_view bytes,
                                RawProfileLayout* layout, std::string* error);

// The function names of a names section: chunks of two ULEB128 numbers
// (the uncompressed and the compressed length, 0 when not compressed) and
// the names, separated by "\x01", zlib-compressed when the second number is
// not 0; chunks may be padded with zero bytes. Returns false with a message
// in "*error" when the section is damaged.
bool ReadProfileNames(std::string_view section, std::vector<std::string>* names,
                      std::string* error);

// The name hash of the profile name "name", as the records carry it.
std::uint64_t NameRef(std::string_view name);

// The ID field of a method-list line of the clang route: "llvm:" and the
// name hash in 16 lower-case hex digits. The service finds a line's
// counters by it, whatever the line's position.
std::string MethodLineId(std::uint64_t nameRef);

// The name hash in the ID field of the method-list line "line", or nothing
// when the line is no line of the clang route.
std::optional<std::uint64_t> MethodLineNameRef(std::string_view line);

}  // namespace ostrivel::llvm_profile

#endif  // OSTRIVEL_TOOLS_LLVM_PROFILE_RAW_PROFILE_H_
