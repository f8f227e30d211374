#pragma once

#include <array>
#include <optional>
#include <string_view>

// The revisions of the Model Context Protocol this program can speak, oldest
// first, so that "from revision X on" reads as `version >= X`. The revisions
// up to 2025-11-25 are settled once by initialize; 2026-07-28 has no
// handshake: each request names it in its own `_meta`. The tool set shapes
// its catalogue by the revision.
enum class MCPProtocolVersion { v2024_11_05, v2025_03_26, v2025_06_18, v2025_11_25, v2026_07_28 };

inline constexpr std::array<MCPProtocolVersion, 5> kMCPProtocolVersions{
    MCPProtocolVersion::v2024_11_05, MCPProtocolVersion::v2025_03_26, MCPProtocolVersion::v2025_06_18,
    MCPProtocolVersion::v2025_11_25, MCPProtocolVersion::v2026_07_28};

// The newest revision initialize can settle; the later ones are stateless.
inline constexpr MCPProtocolVersion kNewestHandshakeVersion = MCPProtocolVersion::v2025_11_25;

// The revision's name on the wire, such as "2025-06-18".
constexpr std::string_view protocolVersionName(MCPProtocolVersion version) {
  switch (version) {
    case MCPProtocolVersion::v2024_11_05: return "2024-11-05";
    case MCPProtocolVersion::v2025_03_26: return "2025-03-26";
    case MCPProtocolVersion::v2025_06_18: return "2025-06-18";
    case MCPProtocolVersion::v2025_11_25: return "2025-11-25";
    case MCPProtocolVersion::v2026_07_28: return "2026-07-28";
  }
  return "2024-11-05";
}

// The revision with exactly that name, or nothing.
constexpr std::optional<MCPProtocolVersion> protocolVersionNamed(std::string_view name) {
  for (const auto version : kMCPProtocolVersions) {
    if (protocolVersionName(version) == name) return version;
  }
  return std::nullopt;
}
