// Writes the character name table of tavrin/core/unicode_names.cpp from the Unicode Character
// Database, at build time:
//
//   unicode_names_gen UnicodeData.txt NameAliases.txt unicode_names_table.inc
//
// The names (character names and aliases, not the ranges UnicodeData.txt gives as <..., First>
// and <..., Last>) are sorted and front-coded in blocks: each entry is the length of the prefix
// it shares with the one before, the length of the rest, the rest (a byte of 0x80 and above
// stands for one of 128 frequent words), and its code point, in full at the start of a block
// and as a zig-zag varint difference from the one before elsewhere. The ranges of the CJK
// unified ideographs, whose names are made from their code points, are written as well, and the
// first eight bytes of the first name of each block as a number, for a quick search.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

constexpr std::size_t kBlockSize = 32;
constexpr std::size_t kTokenCount = 128;

struct Name {
  std::string text;
  std::uint32_t code_point;
};

std::vector<std::string> fields(const std::string& line) {
  std::vector<std::string> out;
  std::stringstream in(line);
  for (std::string field; std::getline(in, field, ';');) out.push_back(field);
  return out;
}

std::uint32_t hex(const std::string& s) {
  return static_cast<std::uint32_t>(std::stoul(s, nullptr, 16));
}

std::size_t common_prefix(const std::string& a, const std::string& b) {
  std::size_t k = 0;
  while (k < a.size() && k < b.size() && a[k] == b[k]) ++k;
  return k;
}

// The words of `text` with the blank or hyphen after them, as they are counted for tokens.
std::vector<std::string> words(const std::string& text) {
  std::vector<std::string> out;
  std::size_t begin = 0;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == ' ' || text[i] == '-') {
      const std::size_t end = std::min(i + 1, text.size());
      if (end > begin + 1) out.push_back(text.substr(begin, end - begin));
      begin = i + 1;
    }
  }
  return out;
}

// The bytes of `suffix`, each longest token at a position replaced by its byte.
std::vector<std::uint8_t> encode(const std::string& suffix,
                                 const std::vector<std::string>& tokens) {
  std::vector<std::uint8_t> out;
  for (std::size_t i = 0; i < suffix.size();) {
    std::size_t best = tokens.size();
    for (std::size_t t = 0; t < tokens.size(); ++t) {
      if (suffix.compare(i, tokens[t].size(), tokens[t]) == 0 &&
          (best == tokens.size() || tokens[t].size() > tokens[best].size())) {
        best = t;
      }
    }
    if (best < tokens.size()) {
      out.push_back(static_cast<std::uint8_t>(0x80 + best));
      i += tokens[best].size();
    } else {
      out.push_back(static_cast<std::uint8_t>(suffix[i++]));
    }
  }
  return out;
}

// The first eight bytes of `name`, zero-padded, as a number that orders as the names do.
std::uint64_t head_key(std::string_view name) {
  std::uint64_t key = 0;
  for (std::size_t i = 0; i < 8; ++i) {
    key = key << 8 | (i < name.size() ? static_cast<unsigned char>(name[i]) : 0u);
  }
  return key;
}

void write_bytes(std::ostream& out, const char* name, const std::vector<std::uint8_t>& bytes) {
  out << "constexpr std::uint8_t " << name << "[] = {";
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    out << (i % 24 == 0 ? "\n    " : "") << static_cast<int>(bytes[i]) << ',';
  }
  out << "\n};\n";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::cerr << "usage: unicode_names_gen UnicodeData.txt NameAliases.txt output.inc\n";
    return 2;
  }
  std::map<std::string, std::uint32_t> by_name;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> ideograph_ranges;
  std::ifstream data(argv[1]);
  for (std::string line; std::getline(data, line);) {
    const auto f = fields(line);
    if (f.size() < 2) continue;
    const std::string& name = f[1];
    if (name.rfind("<CJK Ideograph", 0) == 0) {
      if (name.find(", First>") != std::string::npos) ideograph_ranges.push_back({hex(f[0]), 0});
      if (name.find(", Last>") != std::string::npos) ideograph_ranges.back().second = hex(f[0]);
    } else if (name[0] != '<') {
      by_name.emplace(name, hex(f[0]));
    }
  }
  std::ifstream aliases(argv[2]);
  for (std::string line; std::getline(aliases, line);) {
    if (line.empty() || line[0] == '#') continue;
    const auto f = fields(line);
    if (f.size() >= 2) by_name.emplace(f[1], hex(f[0]));  // a name never doubles as an alias
  }
  if (by_name.size() < 30000 || ideograph_ranges.empty()) {
    std::cerr << "unicode_names_gen: too few names read from " << argv[1] << "\n";
    return 1;
  }

  std::vector<Name> names;
  std::size_t longest = 0;
  for (const auto& [text, code_point] : by_name) {
    names.push_back({text, code_point});
    longest = std::max(longest, text.size());
  }

  // What each entry spells out after the prefix it shares with the one before.
  std::vector<std::size_t> prefixes(names.size());
  std::map<std::string, std::size_t> savings;
  for (std::size_t i = 0; i < names.size(); ++i) {
    prefixes[i] = i % kBlockSize == 0 ? 0 : common_prefix(names[i - 1].text, names[i].text);
    for (const std::string& w : words(names[i].text.substr(prefixes[i])))
      savings[w] += w.size() - 1;
  }
  std::vector<std::pair<std::size_t, std::string>> ranked;
  for (const auto& [w, saved] : savings) ranked.push_back({saved, w});
  std::sort(ranked.rbegin(), ranked.rend());
  std::vector<std::string> tokens;
  for (std::size_t i = 0; i < ranked.size() && tokens.size() < kTokenCount; ++i) {
    tokens.push_back(ranked[i].second);
  }

  std::vector<std::uint8_t> entries;
  std::vector<std::uint32_t> blocks;
  for (std::size_t i = 0; i < names.size(); ++i) {
    const std::vector<std::uint8_t> rest = encode(names[i].text.substr(prefixes[i]), tokens);
    if (i % kBlockSize == 0) blocks.push_back(static_cast<std::uint32_t>(entries.size()));
    entries.push_back(static_cast<std::uint8_t>(prefixes[i]));
    entries.push_back(static_cast<std::uint8_t>(rest.size()));
    entries.insert(entries.end(), rest.begin(), rest.end());
    const std::uint32_t cp = names[i].code_point;
    if (i % kBlockSize == 0) {
      entries.push_back(static_cast<std::uint8_t>(cp >> 16));
      entries.push_back(static_cast<std::uint8_t>(cp >> 8));
      entries.push_back(static_cast<std::uint8_t>(cp));
    } else {
      const std::int64_t delta = std::int64_t{cp} - names[i - 1].code_point;
      std::uint64_t zigzag =
          delta >= 0 ? std::uint64_t(delta) << 1 : (std::uint64_t(-delta) << 1) - 1;
      for (; zigzag >= 0x80; zigzag >>= 7)
        entries.push_back(static_cast<std::uint8_t>(zigzag | 0x80));
      entries.push_back(static_cast<std::uint8_t>(zigzag));
    }
  }

  std::ofstream out(argv[3]);
  out << "// Generated by unicode_names_gen from " << argv[1] << " and " << argv[2]
      << "; do not edit.\n\n";
  out << "constexpr std::size_t kBlockSize = " << kBlockSize << ";\n";
  out << "constexpr std::size_t kLongestName = " << longest << ";\n";
  out << "constexpr std::size_t kNameCount = " << names.size() << ";\n";
  out << "constexpr std::array<std::string_view, " << tokens.size() << "> kTokens = {\n";
  for (const std::string& t : tokens) out << "    \"" << t << "\",\n";
  out << "};\n";
  out << "constexpr std::array<std::uint32_t, " << blocks.size() << "> kBlocks = {";
  for (std::size_t i = 0; i < blocks.size(); ++i)
    out << (i % 10 == 0 ? "\n    " : " ") << blocks[i] << ',';
  out << "\n};\n";
  out << "constexpr std::array<std::uint64_t, " << blocks.size() << "> kBlockHeads = {";
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    out << (i % 4 == 0 ? "\n    " : " ") << head_key(names[i * kBlockSize].text) << "u,";
  }
  out << "\n};\n";
  write_bytes(out, "kEntries", entries);
  out << "constexpr std::array<std::pair<char32_t, char32_t>, " << ideograph_ranges.size()
      << "> kIdeographRanges = {{\n";
  for (const auto& [first, last] : ideograph_ranges) {
    out << "    {0x" << std::hex << first << ", 0x" << last << std::dec << "},\n";
  }
  out << "}};\n";
  return out ? 0 : 1;
}
