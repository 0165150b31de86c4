#include "core/store_merge.h"

#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <utility>

namespace vorl {
namespace {

// Whether a reader of `later` holds `key`.
Result<bool> Shadowed(std::span<const Reader* const> later, std::string_view key) {
  for (const Reader* other : later) {
    Result<std::optional<std::uint64_t>> found = other->Find(key);
    if (!found.ok()) return std::move(found).status();
    if (found.value()) return true;
  }
  return false;
}

}  // namespace

Status MergeStore(const Reader& source, std::span<const Reader* const> later,
                  std::span<const std::string_view> deleted, bool check_records, MergeTarget& target) {
  const std::unordered_set<std::string_view> gone(deleted.begin(), deleted.end());
  // Record offset in the source -> id in the target: keys that share an
  // object there share it here too.
  std::unordered_map<std::uint64_t, std::uint32_t> ids;
  return source.VisitLiveEntries(0, source.num_entries(), [&](std::size_t, const EntryView& entry) -> Status {
    if (gone.contains(entry.key)) return {};
    Result<bool> shadowed = Shadowed(later, entry.key);
    if (!shadowed.ok()) return std::move(shadowed).status();
    if (shadowed.value()) return {};
    auto [it, fresh] = ids.try_emplace(entry.object_offset, 0);
    if (fresh) {
      Result<std::string_view> stored = source.ObjectView(entry.object_offset);
      if (!stored.ok()) return std::move(stored).status();
      if (check_records) {
        if (Status s = source.CheckObject(entry.object_offset); !s.ok()) return s;
      }
      Result<std::uint32_t> id = target.AddStored(stored.value());
      if (!id.ok()) return std::move(id).status();
      it->second = id.value();
    }
    return target.AddKey(entry.key, it->second);
  });
}

}  // namespace vorl
