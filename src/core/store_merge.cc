#include "core/store_merge.h"

#include <cstdint>
#include <unordered_map>

namespace vorl {

Status MergeInto(Writer& into, const Reader& source, std::span<const Reader* const> later) {
  // Record offset in the source -> id in `into`.
  std::unordered_map<std::uint64_t, std::uint32_t> ids;
  return source.VisitLiveEntries(0, source.num_entries(), [&](std::size_t, const EntryView& entry) -> Status {
    for (const Reader* other : later) {
      Result<std::optional<std::uint64_t>> found = other->Find(entry.key);
      if (!found.ok()) return std::move(found).status();
      if (found.value()) return {};
    }
    auto [it, fresh] = ids.try_emplace(entry.object_offset, 0);
    if (fresh) {
      Result<std::string_view> payload = source.ObjectView(entry.object_offset);
      if (!payload.ok()) return std::move(payload).status();
      Result<std::uint32_t> id = into.AddObject(payload.value());
      if (!id.ok()) return std::move(id).status();
      it->second = id.value();
    }
    return into.AddKey(entry.key, it->second);
  });
}

}  // namespace vorl
