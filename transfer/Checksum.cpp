#include "transfer/Checksum.h"

// Placeholder bodies: the table comes with the checksum work.
namespace checksum {
std::span<const Kind> Table() { return {}; }
std::optional<Choice> Find(std::string_view) { return std::nullopt; }
std::string NameOf(const Choice&) { return {}; }
std::string KnownNames() { return {}; }
std::string Bytes(const Choice&, std::string_view) { return {}; }
std::string Append(const Choice&, std::string_view data) { return std::string(data); }
}  // namespace checksum
