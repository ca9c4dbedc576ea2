#include "tools/methods/elf_symbols.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace ostrivel::methods {
namespace {

std::string SampleImage() {
  std::ifstream in(OSTRIVEL_SAMPLE_PATH, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)),
                     std::istreambuf_iterator<char>());
}

const FunctionSymbol* Find(const std::vector<FunctionSymbol>& symbols,
                           const std::string& name) {
  auto found = std::find_if(
      symbols.begin(), symbols.end(),
      [&name](const FunctionSymbol& symbol) { return symbol.name == name; });
  return found == symbols.end() ? nullptr : &*found;
}

TEST(ElfSymbolsTest, ReadsTheFunctionsOfTheTextSection) {
  std::vector<FunctionSymbol> symbols;
  std::string error;
  ASSERT_TRUE(ReadFunctionSymbols(SampleImage(), &symbols, &error)) << error;
  const FunctionSymbol* plain = Find(symbols, "plain_c");
  ASSERT_NE(plain, nullptr);
  EXPECT_TRUE(plain->global);
  EXPECT_GT(plain->size, 0u);
  const FunctionSymbol* hidden =
      Find(symbols, "_ZN6sample12_GLOBAL__N_16HiddenEi");
  ASSERT_NE(hidden, nullptr);
  EXPECT_FALSE(hidden->global);
  EXPECT_NE(Find(symbols, "main"), nullptr);
  // Data symbols and functions of other sections (.init, .fini, .plt) are
  // not functions of .text.
  EXPECT_EQ(Find(symbols, "gSink"), nullptr);
  EXPECT_EQ(Find(symbols, "_init"), nullptr);
}

TEST(ElfSymbolsTest, RefusesWhatIsNoUsableElfImage) {
  std::string image = SampleImage();
  std::string elf32 = image;
  elf32[4] = 1;  // ELFCLASS32
  std::string bigEndian = image;
  bigEndian[5] = 2;  // ELFDATA2MSB
  const std::pair<std::string, std::string> cases[] = {
      {"", "not an ELF file"},
      {"#!/bin/sh\necho\n", "not an ELF file"},
      {image.substr(0, 16),
       "only 64-bit little-endian ELF files are supported"},
      {elf32, "only 64-bit little-endian ELF files are supported"},
      {bigEndian, "only 64-bit little-endian ELF files are supported"},
      {image.substr(0, 4096), "the ELF file is damaged (section table)"},
  };
  for (const auto& [bytes, message] : cases) {
    std::vector<FunctionSymbol> symbols;
    std::string error;
    EXPECT_FALSE(ReadFunctionSymbols(bytes, &symbols, &error)) << message;
    EXPECT_EQ(error, message);
  }
}

TEST(ElfSymbolsTest, SurvivesDamagedImages) {
  const std::string image = SampleImage();
  ASSERT_GT(image.size(), 1000u);
  std::mt19937 random(42);
  std::uniform_int_distribution<std::size_t> position(0, image.size() - 1);
  std::uniform_int_distribution<int> value(0, 255);
  for (int round = 0; round < 300; ++round) {
    std::string damaged = image;
    for (int flips = 0; flips < 50; ++flips) {
      damaged[position(random)] = static_cast<char>(value(random));
    }
    // Also damage the section table and the symbol table in particular.
    std::size_t tail = damaged.size() - 1 - (position(random) % 4096);
    damaged[tail] = static_cast<char>(value(random));
    std::vector<FunctionSymbol> symbols;
    std::string error;
    ReadFunctionSymbols(damaged, &symbols, &error);
  }
}

}  // namespace
}  // namespace ostrivel::methods
