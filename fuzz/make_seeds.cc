// Writes the seed corpora of the fuzz targets:
//   DIR/store/     real stores built with vorl::Writer (the 73-byte example,
//                  empty, non-UTF-8 keys, a 65,535-byte key, many objects),
//                  hand-assembled ones the writer cannot make (duplicate
//                  keys, shared and bad offsets) and damaged copies, among
//                  them one key repeated in every entry, zero bytes that
//                  parse as repeats of the empty key, and stores whose
//                  records lie past the first page, cut at a page boundary;
//   DIR/key_text/  byte strings around the UTF-8 boundaries;
//   DIR/hash_section/  a mode byte, then stores with a hash index section
//                  (mode 0; some of them disagreeing with their index) or
//                  key lists to build one for (mode 1);
//   DIR/compressed_store/  compressed stores and damaged copies
//                  (compressed_seeds.cc).
// Deterministic: the same files on every run.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "core/coding.h"
#include "core/crc32.h"
#include "core/hash_section.h"
#include "core/hash_section_builder.h"
#include "core/writer.h"

namespace {

namespace fs = std::filesystem;

void Save(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  if (!out) {
    std::fprintf(stderr, "cannot write %s\n", path.c_str());
    std::exit(1);
  }
}

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Builds through the writer; the summary line goes to stdout.
std::string Built(const fs::path& dir, const vorl::Writer& w) {
  const fs::path path = dir / "scratch.vrls";
  const vorl::Status s = w.Build(path.string()).status();
  if (!s.ok()) {
    std::fprintf(stderr, "build failed: %s\n", s.ToString().c_str());
    std::exit(1);
  }
  std::string bytes = ReadAll(path);
  fs::remove(path);
  return bytes;
}

void Add(vorl::Writer& w, std::string_view blob) {
  if (!w.AddObject(blob).ok()) std::exit(1);
}

void Key(vorl::Writer& w, std::string_view key, std::uint32_t id) {
  if (!w.AddKey(key, id).ok()) std::exit(1);
}

// A store laid out by hand: the given payloads, then index entries (key,
// object number or, when `raw` is set, a raw offset) in the order given.
struct Entry {
  std::string key;
  std::uint64_t target;
  bool raw = false;
};
std::string Assemble(const std::vector<std::string>& payloads, const std::vector<Entry>& entries) {
  std::string records;
  std::vector<std::uint64_t> offsets;
  for (const std::string& p : payloads) {
    offsets.push_back(40 + records.size());
    vorl::AppendBE32(records, static_cast<std::uint32_t>(p.size()));
    vorl::AppendBE32(records, vorl::crc32::Value(p.data(), p.size()));
    records += p;
  }
  std::string index;
  for (const Entry& e : entries) {
    vorl::AppendBE16(index, static_cast<std::uint16_t>(e.key.size()));
    index += e.key;
    vorl::AppendBE64(index, e.raw ? e.target : offsets.at(e.target));
  }
  std::string body = records + index;
  std::string file(40, '\0');
  auto* h = reinterpret_cast<unsigned char*>(file.data());
  file.replace(0, 4, "VRLS");
  h[4] = 2;
  vorl::StoreBE32(h + 8, static_cast<std::uint32_t>(entries.size()));
  vorl::StoreBE32(h + 12, static_cast<std::uint32_t>(payloads.size()));
  vorl::StoreBE64(h + 16, 40 + records.size());
  vorl::StoreBE64(h + 24, 40);
  vorl::StoreBE32(h + 32, vorl::crc32::Value(body.data(), body.size()));
  return file + body;
}

// Rewrites the header checksum after a change, so that the damage is found
// by the later checks and not by the whole-file CRC.
std::string Resealed(std::string file) {
  auto* h = reinterpret_cast<unsigned char*>(file.data());
  vorl::StoreBE32(h + 32, vorl::crc32::Value(file.data() + 40, file.size() - 40));
  return file;
}

void StoreSeeds(const fs::path& dir) {
  std::vector<std::pair<std::string, std::string>> seeds;

  vorl::Writer example;
  Add(example, "\x92\x01\x02");
  Key(example, "a", 0);
  Key(example, "b", 0);
  const std::string example_store = Built(dir, example);
  seeds.emplace_back("example-store", example_store);

  seeds.emplace_back("empty", Built(dir, vorl::Writer()));

  vorl::Writer odd;
  Add(odd, "");
  Add(odd, "unreferenced");
  Add(odd, "\x81\xa1x\x01");
  for (const char* k : {"\xff", "\xc3", "a\x80z", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xc3\xa9", ""}) {
    Key(odd, k, 2);
  }
  Key(odd, std::string("nul\0key", 7), 0);
  seeds.emplace_back("non-utf8-keys", Built(dir, odd));

  vorl::Writer large;
  Add(large, std::string(3000, 'v'));
  Add(large, "small");
  Key(large, std::string(65535, 'k'), 0);
  Key(large, std::string(1000, '\xe2'), 1);
  Key(large, "k", 1);
  seeds.emplace_back("large-keys", Built(dir, large));

  vorl::Writer many;
  for (int i = 0; i < 200; ++i)
    Add(many, std::string(static_cast<std::size_t>(i % 17), static_cast<char>(i)));
  for (int i = 0; i < 300; ++i) Key(many, "key/" + std::to_string(i), static_cast<std::uint32_t>(i % 200));
  seeds.emplace_back("many-objects", Built(dir, many));

  seeds.emplace_back("duplicate-keys", Assemble({"one", "two"}, {{"dup", 0}, {"dup", 1}, {"e", 1}}));
  seeds.emplace_back("unsorted-keys", Assemble({"x", "y"}, {{"b", 0}, {"a", 1}, {"ab", 0}}));
  seeds.emplace_back("offset-past-end", Assemble({"x"}, {{"a", 0}, {"b", 1u << 20, true}}));
  seeds.emplace_back("offset-near-2^64", Assemble({"x"}, {{"a", UINT64_MAX - 3, true}}));
  seeds.emplace_back("offset-into-payload", Assemble({"payload"}, {{"a", 44, true}, {"b", 0}}));

  // One key in every entry, the last pointing elsewhere: a repeat must
  // replace the earlier entry, not pile up in the key's probe path.
  std::vector<Entry> repeats(3000, Entry{"k", 0});
  repeats.back().target = 1;
  seeds.emplace_back("repeated-key", Assemble({"first", "last"}, repeats));
  // Zero bytes read as entries of the empty key at offset 0, as many as the
  // header claims or the file holds.
  std::string zeros = Assemble({}, {});
  zeros.replace(8, 4, "\xff\xff\xff\xff");
  zeros += std::string(30000, '\0');
  seeds.emplace_back("zeros-claiming-max-keys", Resealed(zeros));
  zeros.replace(8, 4, std::string("\x00\x00\x0b\xb8", 4));  // exactly 3000 entries
  seeds.emplace_back("zeros-as-empty-keys", Resealed(zeros));

  // Records on later pages, the reads a file cut short under a reader
  // would fault on; and the same store cut at a page boundary.
  vorl::Writer paged;
  for (int i = 0; i < 4; ++i) Add(paged, std::string(5000, static_cast<char>('A' + i)));
  for (int i = 0; i < 4; ++i) Key(paged, "p" + std::to_string(i), static_cast<std::uint32_t>(i));
  const std::string pages = Built(dir, paged);
  seeds.emplace_back("records-past-first-page", pages);
  seeds.emplace_back("cut-at-page-boundary", pages.substr(0, 8192));
  seeds.emplace_back("cut-at-page-boundary-resealed", Resealed(pages.substr(0, 8192)));

  std::string version3 = example_store;
  version3[4] = 3;
  seeds.emplace_back("version-3", version3);
  std::string flipped = example_store;
  flipped[49] ^= 0x01;  // a payload byte: whole-file CRC
  seeds.emplace_back("payload-flipped", flipped);
  seeds.emplace_back("record-crc-wrong", Resealed(flipped));
  std::string long_record = example_store;
  long_record[43] = 0x7F;  // record length past the end
  seeds.emplace_back("record-too-long", Resealed(long_record));
  std::string many_keys = example_store;
  many_keys.replace(8, 4, "\xff\xff\xff\xff");  // num_keys 4294967295
  seeds.emplace_back("num-keys-max", many_keys);
  std::string far_index = example_store;
  far_index.replace(16, 8, "\xff\xff\xff\xff\xff\xff\xff\xf0");  // index_offset near 2^64
  seeds.emplace_back("index-offset-near-2^64", far_index);
  seeds.emplace_back("truncated-index", example_store.substr(0, example_store.size() - 3));
  seeds.emplace_back("header-only-39", example_store.substr(0, 39));

  for (const auto& [name, bytes] : seeds) Save(dir / name, bytes);
}

// `store` with a hash index section after its index, file CRC refreshed.
std::string WithSection(const std::string& store) {
  const auto* p = reinterpret_cast<const unsigned char*>(store.data());
  const std::uint64_t index_offset = vorl::LoadBE64(p + 16);
  auto scanned = vorl::ScannedIndex::Scan(p, store.size(), index_offset, vorl::LoadBE32(p + 8));
  if (!scanned.ok()) std::exit(1);
  std::string out = store.substr(0, index_offset + scanned.value().index_length());
  if (!vorl::AppendHashSection(scanned.value(), index_offset, 0x5EED, out).ok()) std::exit(1);
  return Resealed(out);
}

// `store` (with a section of 4-byte positions) with its slots or order
// table rewritten by change(slots, slot_count, order), file CRC resealed:
// a section that reads safely but disagrees with the index.
template <typename Change>
std::string Disagreeing(std::string store, Change change) {
  auto* p = reinterpret_cast<unsigned char*>(store.data());
  const unsigned char* t = p + store.size() - vorl::hash_section::kTrailerSize;
  const std::uint64_t section = vorl::LoadBE64(t + vorl::hash_section::kSectionOffsetPos);
  const std::uint64_t capacity = vorl::LoadBE64(t + vorl::hash_section::kCapacityPos);
  unsigned char* slots = p + section + vorl::hash_section::PaddingFor(section);
  change(slots, capacity, slots + capacity * vorl::hash_section::SlotSize(4));
  return Resealed(store);
}

void HashSectionSeeds(const fs::path& store_seeds, const fs::path& dir) {
  for (const char* name : {"example-store", "empty", "non-utf8-keys", "large-keys", "many-objects",
                           "duplicate-keys", "unsorted-keys", "offset-past-end"}) {
    Save(dir / name, '\0' + WithSection(ReadAll(store_seeds / name)));
  }
  // Sections that disagree with the index they were built for.
  const std::string many = WithSection(ReadAll(store_seeds / "many-objects"));
  constexpr unsigned kSlot = 10;  // fingerprint, 4-byte position + 1, hint
  Save(dir / "disagree-order-swapped",
       '\0' + Disagreeing(many, [](unsigned char*, std::uint64_t, unsigned char* o) {
         const std::uint32_t first = vorl::LoadBE32(o);
         vorl::StoreBE32(o, vorl::LoadBE32(o + 4));
         vorl::StoreBE32(o + 4, first);
       }));
  Save(dir / "disagree-slot-freed",
       '\0' + Disagreeing(many, [](unsigned char* s, std::uint64_t c, unsigned char*) {
         for (std::uint64_t i = 0; i < c; ++i) {
           if (vorl::LoadBE32(s + i * kSlot + 2) != 0) return vorl::StoreBE32(s + i * kSlot + 2, 0);
         }
       }));
  Save(dir / "disagree-extra-slot",
       '\0' + Disagreeing(many, [](unsigned char* s, std::uint64_t c, unsigned char*) {
         const unsigned char* used = nullptr;
         for (std::uint64_t i = 0; i < c && used == nullptr; ++i) {
           if (vorl::LoadBE32(s + i * kSlot + 2) != 0) used = s + i * kSlot;
         }
         for (std::uint64_t i = c; used != nullptr && i-- > 0;) {
           if (vorl::LoadBE32(s + i * kSlot + 2) == 0)
             return (void)std::copy(used, used + kSlot, s + i * kSlot);
         }
       }));
  // Built from literals by size, so that their NUL bytes stay in.
  const auto keys = [&](const char* name, const auto& literal) {
    Save(dir / name, std::string(literal, sizeof literal - 1));
  };
  keys("keys-sorted", "\1\1a\2ab\3abc\1b\0");
  keys("keys-duplicates", "\1\1k\1j\1k\0\0\1k");
  keys("keys-long", "\1\x05hello\xff\x7f\x02zz");
}

void KeyTextSeeds(const fs::path& dir) {
  const std::vector<std::pair<std::string, std::string>> seeds = {
      {"ascii", "plain ascii key/0001"},
      {"two-three-four", "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"},
      {"lone-continuation", "a\x80\xbf"},
      {"truncated-sequences", "\xe2\x82 \xf0\x9f\x98 \xc3"},
      {"overlong-and-surrogate", "\xc0\xaf\xe0\x80\xaf\xed\xa0\x80\xed\x9f\xbf"},
      {"beyond-max", "\xf4\x90\x80\x80\xf4\x8f\xbf\xbf\xf5\xff"},
      {"nul", std::string("\0a\0", 3)},
  };
  for (const auto& [name, bytes] : seeds) Save(dir / name, bytes);
}

}  // namespace

void CompressedStoreSeeds(const fs::path& dir);

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
    return 2;
  }
  const fs::path root = argv[1];
  fs::create_directories(root / "store");
  fs::create_directories(root / "key_text");
  fs::create_directories(root / "hash_section");
  StoreSeeds(root / "store");
  HashSectionSeeds(root / "store", root / "hash_section");
  KeyTextSeeds(root / "key_text");
  fs::create_directories(root / "compressed_store");
  CompressedStoreSeeds(root / "compressed_store");
  return 0;
}
