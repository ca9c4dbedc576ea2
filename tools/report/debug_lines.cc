#include "tools/report/debug_lines.h"

#include <dwarf.h>

#include <algorithm>
#include <filesystem>
#include <limits>
#include <memory>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include <fmt/format.h>

#include "tools/methods/dwarf_image.h"

namespace ostrivel::report {

namespace {

const char* StringAttribute(Dwarf_Die* die, unsigned int name) {
  Dwarf_Attribute attribute;
  if (dwarf_attr_integrate(die, name, &attribute) == nullptr) return nullptr;
  return dwarf_formstring(&attribute);
}

// The DIE that every copy of a function refers to: the inlined copies and
// the out-of-line ones name their abstract instance, which may name the
// declaration in its class.
Dwarf_Off RootOffset(Dwarf_Die* die) {
  Dwarf_Die current = *die;
  // Bounded: damaged references may form a cycle.
  for (int step = 0; step < 16; ++step) {
    Dwarf_Attribute attribute;
    Dwarf_Die next;
    if ((dwarf_attr(&current, DW_AT_abstract_origin, &attribute) == nullptr &&
         dwarf_attr(&current, DW_AT_specification, &attribute) == nullptr) ||
        dwarf_formref_die(&attribute, &next) == nullptr) {
      break;
    }
    current = next;
  }
  return dwarf_dieoffset(&current);
}

using Range = std::pair<Dwarf_Addr, Dwarf_Addr>;

std::vector<Range> Ranges(Dwarf_Die* die) {
  std::vector<Range> ranges;
  Dwarf_Addr base = 0;
  Dwarf_Addr start = 0;
  Dwarf_Addr end = 0;
  for (ptrdiff_t offset = 0;
       (offset = dwarf_ranges(die, offset, &base, &start, &end)) > 0;) {
    // The linker leaves address 0 to the code it discarded.
    if (start == 0) continue;
    // An inlined copy folded into the instructions around it keeps an empty
    // range; its lines are those at its address.
    ranges.emplace_back(start, std::max(end, start + 1));
  }
  return ranges;
}

struct Row {
  Dwarf_Addr address = 0;
  std::uint32_t file = 0;
  std::uint32_t line = 0;
  // The next row has the same address: this one describes no instruction.
  bool empty = false;
};

// One copy of a function's code: an out-of-line function or an inlined one.
struct Piece {
  std::vector<Range> ranges;
  std::vector<std::uint32_t> owners;  // the function and those it lies in
  std::int64_t ownFile = -1;          // the file that declares the function
  std::uint32_t declLine = 0;
  std::uint32_t function = 0;
  std::size_t depth = 0;  // of its DIE: an inlined copy lies deeper
};

// What the line table says of one piece: the lines of its own file it
// holds (first to last), and those of other files.
struct PieceLines {
  std::uint32_t owners = 0;  // index into the owner groups
  std::int64_t ownFile = -1;
  std::string key;  // the function's symbol and file: one across units
  bool ownSeen = false;
  std::uint32_t first = 0;
  std::uint32_t last = 0;
  std::vector<std::uint64_t> others;  // file << 32 | line
};

class Reader {
 public:
  std::uint32_t FileId(const char* name, const std::string& compDir,
                       std::vector<std::string>* files) {
    // Line-table rows come in runs of one file, and libdw hands out one
    // pointer per file name: joining and normalising once per run keeps a
    // large program's reading fast.
    if (name == lastName_ && compDir == lastCompDir_) return lastId_;
    lastName_ = name;
    lastCompDir_ = compDir;
    lastId_ = NewFileId(name, compDir, files);
    return lastId_;
  }

  std::uint32_t NewFileId(const char* name, const std::string& compDir,
                          std::vector<std::string>* files) {
    std::filesystem::path path(name);
    if (path.is_relative() && !compDir.empty()) {
      path = std::filesystem::path(compDir) / path;
    }
    std::string normal = path.lexically_normal().string();
    auto [entry, added] =
        fileIds_.try_emplace(normal, static_cast<std::uint32_t>(files->size()));
    if (added) files->push_back(std::move(normal));
    return entry->second;
  }

  std::uint32_t FunctionId(Dwarf_Die* die,
                           std::vector<DebugLines::Function>* functions) {
    auto [entry, added] = functionIds_.try_emplace(
        RootOffset(die), static_cast<std::uint32_t>(functions->size()));
    if (added) functions->emplace_back();
    return entry->second;
  }

 private:
  std::unordered_map<std::string, std::uint32_t> fileIds_;
  const char* lastName_ = nullptr;
  std::string lastCompDir_;
  std::uint32_t lastId_ = 0;
  std::unordered_map<Dwarf_Off, std::uint32_t> functionIds_;
};

}  // namespace

void DebugLines::FunctionsAt(std::uint32_t file, std::uint32_t line,
                             bool alsoNext,
                             std::vector<std::uint32_t>* out) const {
  if (file >= spans_.size()) return;
  std::uint32_t last = alsoNext ? line + 1 : line;
  for (const Span& span : spans_[file]) {
    if (span.first <= line && last <= span.last) {
      const std::vector<std::uint32_t>& owners = owners_[span.owners];
      out->insert(out->end(), owners.begin(), owners.end());
    }
  }
}

std::optional<DebugLines> ReadDebugLines(std::string_view image,
                                         std::string* error) {
  methods::DwarfImage::Failure failure = methods::DwarfImage::Failure::kNone;
  std::unique_ptr<methods::DwarfImage> dwarf =
      methods::DwarfImage::Open(image, &failure, error);
  if (dwarf == nullptr) {
    *error = failure == methods::DwarfImage::Failure::kNoDebugInformation
                 ? "it has no debug information: build it with -g"
                 : "its debug information cannot be read: " + *error;
    return std::nullopt;
  }

  DebugLines result;
  Reader reader;
  std::vector<PieceLines> pieceLines;
  bool unitsRead = dwarf->ForEachUnit(
      [&](Dwarf_Die* unit) {
        const char* compDirText = StringAttribute(unit, DW_AT_comp_dir);
        std::string compDir = compDirText ? compDirText : "";
        const char* unitName = dwarf_diename(unit);

        std::vector<Row> rows;
        Dwarf_Lines* lines = nullptr;
        std::size_t lineCount = 0;
        if (dwarf_getsrclines(unit, &lines, &lineCount) == 0) {
          for (std::size_t i = 0; i < lineCount; ++i) {
            Dwarf_Line* line = dwarf_onesrcline(lines, i);
            Dwarf_Addr address = 0;
            int number = 0;
            bool end = false;
            const char* file = dwarf_linesrc(line, nullptr, nullptr);
            if (line == nullptr || file == nullptr ||
                dwarf_lineaddr(line, &address) != 0 ||
                dwarf_lineno(line, &number) != 0 || number <= 0 ||
                dwarf_lineendsequence(line, &end) != 0 || end) {
              continue;
            }
            rows.push_back({address,
                            reader.FileId(file, compDir, &result.files_),
                            static_cast<std::uint32_t>(number)});
          }
        }
        std::stable_sort(
            rows.begin(), rows.end(),
            [](const Row& a, const Row& b) { return a.address < b.address; });
        for (std::size_t i = 0; i + 1 < rows.size(); ++i) {
          rows[i].empty = rows[i + 1].address == rows[i].address;
        }

        // Every DIE of the unit, depth first, without recursion (damaged
        // nesting cannot exhaust the stack); "chain" holds the function of each
        // enclosing copy, or -1.
        std::vector<Piece> pieces;
        std::vector<std::pair<Dwarf_Die, std::size_t>> pending;
        std::vector<std::int64_t> chain;
        Dwarf_Die child;
        if (dwarf_child(unit, &child) == 0) pending.emplace_back(child, 0);
        while (!pending.empty()) {
          auto [die, depth] = pending.back();
          pending.pop_back();
          Dwarf_Die sibling;
          if (dwarf_siblingof(&die, &sibling) == 0) {
            pending.emplace_back(sibling, depth);
          }
          chain.resize(depth);
          chain.push_back(-1);
          if (dwarf_child(&die, &child) == 0)
            pending.emplace_back(child, depth + 1);
          int tag = dwarf_tag(&die);
          if ((tag != DW_TAG_subprogram && tag != DW_TAG_inlined_subroutine) ||
              dwarf_hasattr(&die, DW_AT_declaration)) {
            continue;
          }
          std::vector<Range> ranges = Ranges(&die);
          if (ranges.empty()) continue;
          std::uint32_t id = reader.FunctionId(&die, &result.functions_);
          chain.back() = id;
          Piece piece;
          piece.function = id;
          piece.depth = depth;
          piece.ranges = std::move(ranges);
          for (std::int64_t owner : chain) {
            if (owner >= 0)
              piece.owners.push_back(static_cast<std::uint32_t>(owner));
          }
          std::sort(piece.owners.begin(), piece.owners.end());
          piece.owners.erase(
              std::unique(piece.owners.begin(), piece.owners.end()),
              piece.owners.end());
          int declLine = 0;
          if (const char* file = dwarf_decl_file(&die)) {
            piece.ownFile = reader.FileId(file, compDir, &result.files_);
            if (dwarf_decl_line(&die, &declLine) == 0 && declLine > 0) {
              piece.declLine = static_cast<std::uint32_t>(declLine);
            }
          }
          DebugLines::Function& function = result.functions_[id];
          if (tag == DW_TAG_subprogram) {
            for (const Range& range : piece.ranges) {
              function.entries.push_back(range.first);
            }
          }
          if (function.symbol.empty()) {
            const char* symbol = StringAttribute(&die, DW_AT_linkage_name);
            if (symbol == nullptr) {
              symbol = StringAttribute(&die, DW_AT_MIPS_linkage_name);
            }
            if (symbol == nullptr) symbol = StringAttribute(&die, DW_AT_name);
            if (symbol != nullptr) function.symbol = symbol;
          }
          if (function.unit.empty() && unitName != nullptr) {
            function.unit = unitName;
          }
          if (function.file < 0 && piece.ownFile >= 0) {
            function.file = static_cast<std::int32_t>(piece.ownFile);
            function.line = piece.declLine;
          }
          pieces.push_back(std::move(piece));
        }

        // Each row belongs to the innermost copy whose ranges hold it: the rows
        // of a function inlined into another are that function's, so a caller
        // does not stretch over the lines between it and a helper of its file.
        std::vector<std::size_t> byDepth(pieces.size());
        for (std::size_t i = 0; i < pieces.size(); ++i) byDepth[i] = i;
        std::stable_sort(byDepth.begin(), byDepth.end(),
                         [&pieces](std::size_t a, std::size_t b) {
                           return pieces[a].depth < pieces[b].depth;
                         });
        constexpr std::size_t kNoPiece = static_cast<std::size_t>(-1);
        std::vector<std::size_t> rowPiece(rows.size(), kNoPiece);
        for (std::size_t index : byDepth) {
          for (const Range& range : pieces[index].ranges) {
            auto row = std::lower_bound(
                rows.begin(), rows.end(), range.first,
                [](const Row& r, Dwarf_Addr a) { return r.address < a; });
            for (; row != rows.end() && row->address < range.second; ++row) {
              rowPiece[static_cast<std::size_t>(row - rows.begin())] = index;
            }
          }
        }

        // Where each file's functions begin: a function's own lines lie between
        // its declaration and the next one of its file. Optimised code mixes in
        // rows of the functions it inlined (a helper's lines above it); those
        // stay single lines instead of stretching the function over the ones
        // between.
        std::unordered_map<std::int64_t, std::vector<std::uint32_t>>
            declarations;
        for (const Piece& piece : pieces) {
          if (piece.ownFile >= 0 && piece.declLine > 0) {
            declarations[piece.ownFile].push_back(piece.declLine);
          }
        }
        for (auto& entry : declarations) {
          std::sort(entry.second.begin(), entry.second.end());
        }
        auto nextDeclaration = [&declarations](const Piece& piece) {
          const std::vector<std::uint32_t>& starts =
              declarations[piece.ownFile];
          auto after =
              std::upper_bound(starts.begin(), starts.end(), piece.declLine);
          return after == starts.end()
                     ? std::numeric_limits<std::uint32_t>::max()
                     : *after;
        };

        for (std::size_t index = 0; index < pieces.size(); ++index) {
          const Piece& piece = pieces[index];
          const std::uint32_t ownFirst = piece.declLine;
          const std::uint32_t ownEnd =
              piece.declLine > 0 ? nextDeclaration(piece)
                                 : std::numeric_limits<std::uint32_t>::max();
          PieceLines found;
          found.owners = static_cast<std::uint32_t>(result.owners_.size());
          result.owners_.push_back(piece.owners);
          found.ownFile = piece.ownFile;
          const std::string& symbol = result.functions_[piece.function].symbol;
          // A function without a name is only itself.
          found.key = symbol.empty()
                          ? fmt::format("#{}", piece.function)
                          : fmt::format("{}\n{}", symbol, piece.ownFile);
          std::unordered_set<std::uint64_t> others;
          for (const Range& range : piece.ranges) {
            auto row = std::lower_bound(
                rows.begin(), rows.end(), range.first,
                [](const Row& r, Dwarf_Addr a) { return r.address < a; });
            for (; row != rows.end() && row->address < range.second; ++row) {
              if (rowPiece[static_cast<std::size_t>(row - rows.begin())] !=
                  index) {
                continue;
              }
              if (static_cast<std::int64_t>(row->file) == piece.ownFile &&
                  row->line >= ownFirst && row->line < ownEnd) {
                found.first = found.ownSeen ? std::min(found.first, row->line)
                                            : row->line;
                found.last =
                    found.ownSeen ? std::max(found.last, row->line) : row->line;
                found.ownSeen = true;
              } else if (row->empty && static_cast<std::int64_t>(row->file) ==
                                           piece.ownFile) {
                // A row of its own file outside its lines that covers no
                // instruction: the end of the function before it, where
                // this one starts.
                continue;
              } else {
                others.insert(std::uint64_t{row->file} << 32 | row->line);
              }
            }
          }
          if (found.ownSeen && piece.declLine > 0) {
            found.first = std::min(found.first, piece.declLine);
          }
          found.others.assign(others.begin(), others.end());
          pieceLines.push_back(std::move(found));
        }
      },
      error);
  if (!unitsRead) {
    *error = "its debug information cannot be read: " + *error;
    return std::nullopt;
  }
  if (result.files_.empty()) {
    *error = "it has no debug information: build it with -g";
    return std::nullopt;
  }
  // An optimised inlined copy may keep only some lines of its function (the
  // others merged into the lines around it): every copy is given the lines
  // of all copies of the function together.
  std::unordered_map<std::string, std::pair<std::uint32_t, std::uint32_t>>
      whole;
  for (const PieceLines& piece : pieceLines) {
    if (!piece.ownSeen) continue;
    auto [entry, added] =
        whole.try_emplace(piece.key, std::make_pair(piece.first, piece.last));
    if (!added) {
      entry->second.first = std::min(entry->second.first, piece.first);
      entry->second.second = std::max(entry->second.second, piece.last);
    }
  }
  result.spans_.resize(result.files_.size());
  for (const PieceLines& piece : pieceLines) {
    auto found = whole.find(piece.key);
    if (piece.ownFile >= 0 && found != whole.end()) {
      result.spans_[static_cast<std::size_t>(piece.ownFile)].push_back(
          {found->second.first, found->second.second, piece.owners});
    }
    for (std::uint64_t other : piece.others) {
      auto line = static_cast<std::uint32_t>(other);
      result.spans_[other >> 32].push_back({line, line, piece.owners});
    }
  }
  return result;
}

}  // namespace ostrivel::report
