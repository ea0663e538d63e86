#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Helpers shared by the archive tests: running the command-line ZIP tools,
// building hand-made archives, reading files.
namespace quilvane::archive::testing {

struct ToolResult {
  int status = -1;  // exit status, -1 when the tool could not run
  std::string out;  // standard output
};

// Runs `argv` (no shell), feeding `input` on standard input.
ToolResult RunTool(const std::vector<std::string>& argv, const std::string& input = "");
// The full path of a tool on PATH, or nullopt.
std::optional<std::string> FindTool(const std::string& name);

// A member of a hand-made archive. Data is written as given (already
// compressed when the method says so).
struct RawMember {
  std::string name;
  std::string data;
  std::uint16_t method = 0;
  std::uint32_t crc = 0;
  std::uint32_t uncompressed_size = 0;
  std::uint16_t flags = 0;
  std::uint32_t external_attributes = 0x20;
};
// A stored member whose CRC and size match its data.
RawMember Stored(const std::string& name, const std::string& data);
// A Deflate member; `declared_size` overrides the uncompressed size field.
RawMember Deflated(const std::string& name, const std::string& data,
                   std::optional<std::uint32_t> declared_size = std::nullopt);
std::string BuildZip(const std::vector<RawMember>& members);

std::uint32_t Crc32(const std::string& data);
std::string RawInflate(const std::string& data);
std::string RawDeflate(const std::string& data);
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& data);
// Regular files under `dir`, relative paths, sorted.
std::vector<std::string> ListFiles(const std::string& dir);

// A realistic exchange file of `products` lines.
std::string ExchangeText(int products);

}  // namespace quilvane::archive::testing
