// The seeds of compressed_store_fuzzer: compressed stores built through the
// writer with a trained dictionary, with and without the hash index, and
// damaged copies (a dictionary byte, a compressed record's byte, its CRC,
// the trailer), the damage resealed under the whole-file CRC so that the
// later checks meet it.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/coding.h"
#include "core/crc32.h"
#include "core/writer.h"
#include "engine/compression.h"

namespace fs = std::filesystem;

namespace {

std::string Build(const fs::path& dir, bool hash_index) {
  std::vector<std::string> records;
  std::string joined;
  std::vector<std::size_t> sizes;
  for (int i = 0; i < 400; ++i) {
    // A MessagePack str of a text that repeats across records.
    std::string text = "Package: lib" + std::to_string(i) + " Version: 1." + std::to_string(i % 7) +
                       " Description: a library for doing things, number " + std::to_string(i * 7919 % 1000);
    records.push_back(std::string("\xd9", 1) + static_cast<char>(text.size()) + text);
    joined += records.back();
    sizes.push_back(records.back().size());
  }
  vorl::engine::RecordCompressor compressor(3);
  if (!compressor.Train(joined, sizes)) std::exit(1);
  vorl::Writer w;
  std::string scratch;
  for (std::size_t i = 0; i < records.size(); ++i) {
    auto stored = compressor.Encode(records[i], scratch);
    auto id = w.AddObject(stored.value());
    if (!id.ok() || !w.AddKey("k" + std::to_string(i), id.value()).ok()) std::exit(1);
  }
  vorl::BuildOptions options;
  options.print_summary = false;
  options.hash_index = hash_index;
  options.dictionary = compressor.dictionary();
  const fs::path path = dir / "scratch.vrls";
  if (!w.Build(path.string(), options).ok()) std::exit(1);
  std::ifstream in(path, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), {});
  fs::remove(path);
  return bytes;
}

std::string Flipped(std::string file, std::size_t at) {
  file[at] = static_cast<char>(file[at] ^ 0x20);
  auto* h = reinterpret_cast<unsigned char*>(file.data());
  vorl::StoreBE32(h + 32, vorl::crc32::Value(file.data() + 40, file.size() - 40));
  return file;
}

}  // namespace

void CompressedStoreSeeds(const fs::path& dir) {
  for (const bool hash_index : {false, true}) {
    const std::string store = Build(dir, hash_index);
    const std::string tag = hash_index ? "hashed-" : "plain-";
    // The first record's header starts at 40: length, CRC, then the payload.
    const std::vector<std::pair<std::string, std::string>> seeds = {
        {"store", store},
        {"dictionary-byte", Flipped(store, store.size() - 32 - 1000)},
        {"trailer-length", Flipped(store, store.size() - 32 + 18)},
        {"record-crc", Flipped(store, 40 + 5)},
        {"record-ext-header", Flipped(store, 40 + 8)},
        {"record-frame", Flipped(store, 40 + 8 + 10)},
        {"truncated", store.substr(0, store.size() - 7)},
    };
    for (const auto& [name, bytes] : seeds) std::ofstream(dir / (tag + name), std::ios::binary) << bytes;
  }
}
