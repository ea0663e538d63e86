#include "tests/archive/shapes.h"

#include <cstdio>

#include "archive/zip_archiver.h"
#include "tests/archive/archive_test_util.h"
#include "tests/support/temp_dir.h"

namespace quilvane::archive::shapes {
namespace {

void Put16(std::string& s, std::uint64_t v) {
  for (int i = 0; i < 2; ++i) s += static_cast<char>((v >> (8 * i)) & 0xFF);
}
void Put32(std::string& s, std::uint64_t v) {
  for (int i = 0; i < 4; ++i) s += static_cast<char>((v >> (8 * i)) & 0xFF);
}
void Put64(std::string& s, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) s += static_cast<char>((v >> (8 * i)) & 0xFF);
}

constexpr std::uint32_t kSaturated = 0xFFFFFFFF;

// A zip64 extra block holding both sizes, and the offset when given.
std::string Zip64Extra(std::uint64_t size, std::uint64_t compressed,
                       std::optional<std::uint64_t> offset) {
  std::string e;
  Put16(e, 0x0001);
  Put16(e, offset ? 24 : 16);
  Put64(e, size);
  Put64(e, compressed);
  if (offset) Put64(e, *offset);
  return e;
}

// The stored bytes of a member: compressed, then encrypted behind a 12-byte
// header whose first eleven bytes are fixed.
std::string Payload(const Member& m, std::uint32_t crc) {
  std::string data = m.method == 8 ? testing::RawDeflate(m.content) : m.content;
  if (!m.password) return data;
  std::string header = "0123456789";
  header += static_cast<char>(m.check_with_time ? m.time & 0xFF : (crc >> 16) & 0xFF);
  header += static_cast<char>(m.check_with_time ? m.time >> 8 : crc >> 24);
  std::string out = header + data;
  PkwareKeys keys(*m.password);
  keys.Encrypt(std::span<std::uint8_t>(reinterpret_cast<std::uint8_t*>(out.data()), out.size()));
  return out;
}

}  // namespace

std::string Build(const std::vector<Member>& members, const Layout& layout) {
  std::string body = layout.prefix;
  std::string dir;
  const std::uint64_t base = layout.offsets_include_prefix ? 0 : layout.prefix.size();
  for (const Member& m : members) {
    const std::uint32_t crc = testing::Crc32(m.content);
    const std::string payload = Payload(m, crc);
    const std::uint64_t offset = body.size() - base;
    std::uint16_t flags = m.password ? 0x0001 : 0;
    if (m.descriptor != Descriptor::kNone) flags |= 0x0008;
    const bool streamed = m.descriptor != Descriptor::kNone;
    const bool zip64_local = m.zip64_local || m.descriptor == Descriptor::kSignedZip64;
    const std::uint16_t version = zip64_local || m.zip64_directory ? 45 : 20;

    Put32(body, 0x04034B50);
    Put16(body, version);
    Put16(body, flags);
    Put16(body, m.method);
    Put16(body, m.time);
    Put16(body, m.date);
    std::string local_extra;
    if (zip64_local) {
      local_extra =
          Zip64Extra(streamed ? 0 : m.content.size(), streamed ? 0 : payload.size(), std::nullopt);
    }
    Put32(body, streamed ? 0 : m.local_crc.value_or(crc));
    Put32(body, zip64_local ? kSaturated : streamed ? 0 : payload.size());
    Put32(body, zip64_local ? kSaturated : streamed ? 0 : m.content.size());
    Put16(body, m.name.size());
    Put16(body, local_extra.size());
    body += m.name + local_extra + payload;
    if (streamed) {
      if (m.descriptor != Descriptor::kUnsigned) Put32(body, 0x08074B50);
      Put32(body, m.descriptor_crc.value_or(crc));
      if (m.descriptor == Descriptor::kSignedZip64) {
        Put64(body, payload.size());
        Put64(body, m.content.size());
      } else {
        Put32(body, payload.size());
        Put32(body, m.content.size());
      }
    }

    const std::string dir_extra =
        m.zip64_directory ? Zip64Extra(m.content.size(), payload.size(), offset) : "";
    Put32(dir, 0x02014B50);
    Put16(dir, 0x0300 | version);
    Put16(dir, version);
    Put16(dir, m.directory_flags.value_or(flags));
    Put16(dir, m.method);
    Put16(dir, m.time);
    Put16(dir, m.date);
    Put32(dir, m.directory_crc.value_or(crc));
    Put32(dir, m.zip64_directory ? kSaturated : payload.size());
    Put32(dir, m.zip64_directory ? kSaturated : m.content.size());
    Put16(dir, m.name.size());
    Put16(dir, dir_extra.size());
    Put16(dir, 0);
    Put16(dir, 0);
    Put16(dir, 0);
    Put32(dir, 0100644u << 16);
    Put32(dir, m.zip64_directory ? kSaturated : offset);
    dir += m.name + dir_extra;
  }
  if (!layout.directory) return body;

  const std::uint64_t dir_offset = body.size() - base + layout.directory_offset_delta;
  const std::uint64_t dir_size = dir.size() + layout.directory_size_delta;
  const std::uint16_t entries = layout.entries.value_or(members.size());
  std::string end;
  if (layout.zip64_end) {
    const std::uint64_t record = body.size() + dir.size() - base;
    Put32(end, 0x06064B50);
    Put64(end, 44);
    Put16(end, 0x032D);
    Put16(end, 45);
    Put32(end, 0);
    Put32(end, 0);
    Put64(end, layout.zip64_entries.value_or(entries));
    Put64(end, layout.zip64_entries.value_or(entries));
    Put64(end, dir_size);
    Put64(end, dir_offset);
    Put32(end, 0x07064B50);
    Put32(end, 0);
    Put64(end, record);
    Put32(end, 1);
  }
  Put32(end, 0x06054B50);
  Put16(end, 0);
  Put16(end, 0);
  Put16(end, layout.zip64_end ? 0xFFFF : entries);
  Put16(end, layout.zip64_end ? 0xFFFF : entries);
  Put32(end, layout.zip64_end ? kSaturated : dir_size);
  Put32(end, layout.zip64_end ? kSaturated : dir_offset);
  Put16(end, layout.comment.size());
  end += layout.comment;
  return body + dir + end;
}

std::string Outcome(const std::string& path, const std::string& password) {
  quilvane::testing::TempDir out;
  TZipArchiver archiver;
  archiver.Password = password;
  archiver.FileName = path;
  try {
    archiver.OpenArchive(OpenMode::kRead);
  } catch (const EArchiveError& e) {
    return "open failed " + std::to_string(e.NativeError());
  } catch (const platform::Error& e) {
    return std::string("open failed: ") + e.what();
  }
  archiver.BaseDir = out.path();
  std::string result = archiver.opened_as_damaged() ? "[rebuilt]" : "";
  for (size_t i = 0; i < archiver.items().size(); ++i) {
    const DirItem& item = archiver.items()[i];
    if (!result.empty()) result += " ";
    result += item.name;
    try {
      archiver.ExtractItem(i);
      if (item.is_folder()) continue;
      const std::string data = testing::ReadFile(out.path() + item.name);
      char buf[32];
      std::snprintf(buf, sizeof buf, "=%08x/%zu", testing::Crc32(data), data.size());
      result += buf;
    } catch (const EArchiveError& e) {
      result += "!" + std::to_string(e.NativeError());
    } catch (const platform::Error& e) {
      result += std::string("!") + e.what();
    }
  }
  return result;
}

std::string OutcomeOf(const std::string& bytes, const std::string& password) {
  quilvane::testing::TempDir dir;
  testing::WriteFile(dir.File("shape.zip"), bytes);
  return Outcome(dir.File("shape.zip"), password);
}

std::string Expect(const std::string& name, const std::string& content) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "=%08x/%zu", testing::Crc32(content), content.size());
  return name + buf;
}

}  // namespace quilvane::archive::shapes
