// Guards the log-line contract of packing and unpacking: a failure of the
// archive becomes one line an operator can act on, the step's fixed text in
// front of the archive's own message, and the step returns false; a step
// that works logs nothing.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "archive/compactar.h"
#include "archive/zip_archiver.h"
#include "platform/file.h"
#include "sync/exchange_steps.h"
#include "tests/archive/archive_test_util.h"
#include "tests/sync/exchange_steps_fixture.h"

namespace quilvane::sync {
namespace {

using testing::RunStepCase;
using testing::Site;
using testing::StartsWith;
using testing::StepCase;
namespace zip = archive::testing;

// Packing and unpacking on the site's folder.
bool Pack(Site& s, const std::string& name, const std::string& content) {
  s.dir.Write(name, content);
  return CompactarArquivo(s.File(name), s.log, platform::Env::Default());
}
bool Unpack(Site& s, const std::string& name, const archive::UnpackOptions& options = {}) {
  return DescompactarArquivo(s.File(name), s.Out(), s.log, options);
}
bool UnpackBytes(Site& s, const std::string& bytes, const archive::UnpackOptions& options = {}) {
  zip::WriteFile(s.File("download.zip"), bytes);
  return Unpack(s, "download.zip", options);
}
archive::UnpackOptions OnlyMember(std::uint64_t max_bytes = 0, std::uint64_t free_margin = 0) {
  archive::UnpackOptions options;
  options.only_member = "12345678000199.SQL";
  options.max_member_bytes = max_bytes;
  options.ceiling_text = "1 MB (TamanhoMaximoMB)";
  options.free_margin_bytes = free_margin;
  return options;
}

std::string Member(std::uint16_t method) {
  auto member = zip::Stored("12345678000199.SQL", "data");
  member.method = method;
  return zip::BuildZip({member});
}

const StepCase kArchiveCases[] = {
    {"pack_ok", [](Site& s) { return Pack(s, "12345678000199.SQL", "17/10/2023\r\n"); }, true, {}},
    {"pack_missing_source",
     [](Site& s) {
       return CompactarArquivo(s.File("missing.SQL"), s.log, platform::Env::Default());
     },
     false,
     {{"Falha ao compactar o arquivo: File \"{dir}missing.SQL\" not found - Native error: 00012"}}},
    {"pack_folder_in_the_archives_place",
     [](Site& s) {
       platform::CreateDirectories(s.File("blocked.ZIP"));
       return Pack(s, "blocked.SQL", "data");
     },
     false,
     {StartsWith("Falha ao compactar o arquivo: Cannot create file \"{dir}blocked.ZIP\". ")}},
    {"pack_source_past_4_GiB",
     [](Site& s) {
       platform::File(s.File("big.SQL"), platform::File::Mode::kCreate)
           .Truncate(std::int64_t{0xFFFFFFFF} + 10);  // sparse: costs no disk
       return CompactarArquivo(s.File("big.SQL"), s.log, platform::Env::Default());
     },
     false,
     {{"Falha ao compactar o arquivo: Cannot compress file '{dir}big.SQL'. Zip64 mode is not "
       "enabled - Native error: 00043"}}},
    {"unpack_ok",
     [](Site& s) { return Pack(s, "12345678000199.SQL", "x") && Unpack(s, "12345678000199.ZIP"); },
     true,
     {}},
    {"unpack_empty_archive", [](Site& s) { return UnpackBytes(s, zip::BuildZip({})); }, true, {}},
    {"unpack_missing_archive",
     [](Site& s) { return Unpack(s, "none.zip"); },
     false,
     {{"Falha ao descompactar o arquivo: File \"{dir}none.zip\" not found - Native error: 00012"}}},
    {"unpack_member_missing",
     [](Site& s) {
       archive::UnpackOptions options = OnlyMember();
       options.only_member = "99999999000199.SQL";
       return UnpackBytes(s, zip::BuildZip({zip::Stored("tolmarc.ini", "x")}), options);
     },
     false,
     {{"Falha ao descompactar o arquivo: File \"99999999000199.SQL\" is not in the archive - "
       "Native error: 00092"}}},
    {"unpack_past_the_ceiling",
     [](Site& s) {
       return UnpackBytes(
           s, zip::BuildZip({zip::Stored("12345678000199.SQL", std::string(1000, 'x'))}),
           OnlyMember(999));
     },
     false,
     {{"Falha ao descompactar o arquivo: o arquivo 12345678000199.SQL descompactado teria 1000 "
       "bytes, mais que 1 MB (TamanhoMaximoMB)"}}},
    {"unpack_no_room",
     [](Site& s) {
       return UnpackBytes(s, zip::BuildZip({zip::Stored("12345678000199.SQL", "x")}),
                          OnlyMember(0, std::uint64_t{1} << 62));
     },
     false,
     {StartsWith("Falha ao descompactar o arquivo: espa\xC3\xA7o livre insuficiente em ")}},
    {"unpack_name_leaving_the_folder",
     [](Site& s) { return UnpackBytes(s, zip::BuildZip({zip::Stored("../escaped.txt", "x")})); },
     false,
     {{"Falha ao descompactar o arquivo: Cannot extract \"../escaped.txt\" outside the "
       "destination folder - Native error: 00090"}}},
    {"unpack_past_the_declared_size",
     [](Site& s) {
       return UnpackBytes(
           s, zip::BuildZip({zip::Deflated("bomb.bin", std::string(8 << 20, '\0'), 1000)}));
     },
     false,
     {{"Falha ao descompactar o arquivo: Invalid size or check sum of file or unsupported "
       "compression format - Native error: 00008"}}},
    {"unpack_deflate64",
     [](Site& s) { return UnpackBytes(s, Member(9)); },
     false,
     {{"Falha ao descompactar o arquivo: Deflate64 compression method is not supported - Native "
       "error: 00055"}}},
    {"unpack_unknown_method",
     [](Site& s) { return UnpackBytes(s, Member(12)); },
     false,
     {{"Falha ao descompactar o arquivo: Invalid size or check sum of file or unsupported "
       "compression format - Native error: 00008"}}},
    {"unpack_error_page",
     [](Site& s) {
       return UnpackBytes(s, "<!DOCTYPE html><html><head><title>404 Not Found</title></head>\r\n");
     },
     false,
     {{"Falha ao descompactar o arquivo: Invalid archive file. - Native error: 00035"}}},
    {"unpack_wrong_password",
     [](Site& s) {
       s.dir.Write("12345678000199.SQL", "17/10/2023\r\n");
       archive::TZipArchiver archiver(platform::Env::Default());
       archiver.Password = "not the password";
       archiver.FileName = s.File("other.zip");
       archiver.OpenArchive(archive::OpenMode::kCreate);
       archiver.BaseDir = s.dir.path();
       archiver.AddFiles(s.File("12345678000199.SQL"));
       archiver.CloseArchive();
       return Unpack(s, "other.zip");
     },
     false,
     {{"Falha ao descompactar o arquivo: Wrong password for file \"12345678000199.SQL\" - Native "
       "error: 00091"}}},
};

class ArchiveStepTest : public ::testing::TestWithParam<StepCase> {};

TEST_P(ArchiveStepTest, LogsTheLayersFailureBehindTheStepsText) { RunStepCase(GetParam()); }

INSTANTIATE_TEST_SUITE_P(Cases, ArchiveStepTest, ::testing::ValuesIn(kArchiveCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quilvane::sync
