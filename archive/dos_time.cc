#include "archive/dos_time.h"

namespace quilvane::archive {

DosDateTime ToDosDateTime(platform::DateTime local) {
  const platform::CivilDate d = platform::DecodeDate(local);
  const platform::CivilTime t = platform::DecodeTime(local);
  if (d.year < 1980) return {0, static_cast<std::uint16_t>((1 << 5) | 1)};
  if (d.year > 2107) {
    return {static_cast<std::uint16_t>((23 << 11) | (59 << 5) | 29),
            static_cast<std::uint16_t>((127 << 9) | (12 << 5) | 31)};
  }
  DosDateTime dos;
  dos.date = static_cast<std::uint16_t>(((d.year - 1980) << 9) | (d.month << 5) | d.day);
  dos.time = static_cast<std::uint16_t>((t.hour << 11) | (t.minute << 5) | (t.second / 2));
  return dos;
}

std::optional<platform::DateTime> FromDosDateTime(DosDateTime dos) {
  const int year = 1980 + (dos.date >> 9);
  const int month = (dos.date >> 5) & 0x0F;
  const int day = dos.date & 0x1F;
  const int hour = dos.time >> 11;
  const int minute = (dos.time >> 5) & 0x3F;
  const int second = (dos.time & 0x1F) * 2;
  if (hour > 23 || minute > 59 || second > 59) return std::nullopt;
  const auto date = platform::TryEncodeDate(year, month, day);
  if (!date) return std::nullopt;
  return *date + platform::EncodeTime(hour, minute, second, 0);
}

}  // namespace quilvane::archive
