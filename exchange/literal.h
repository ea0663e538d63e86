#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/datetime.h"

namespace quilvane::exchange {

// The SQL literals of the exchange file's statements. An empty value (zero,
// the zero date, empty text) travels as the keyword NULL. None of these
// throws, whatever its argument.

// A currency value (signed count of ten-thousandths) rounded to
// `casas_decimais` decimals on the scaled integer, an exact half going to the
// even digit; "." as decimal point whatever the regional settings; no sign on
// a rounded zero; "NULL" for an exact zero. Decimals are taken in 0..22.
std::string FormataValor(std::int64_t valor, int casas_decimais);

// The day of `data` quoted as 'M/D/YYYY' (always "/": Firebird reads that
// form month first, whatever the server's locale); "NULL" for exactly 0 and
// for values outside the years 1 to 9999.
std::string FormataData(platform::DateTime data);

// `texto` between apostrophes with every apostrophe doubled; "NULL" when
// empty. Nothing else is changed.
std::string FormataTexto(std::string_view texto);

// The ASCII digits of `texto`, in order.
std::string ExtraiNumero(std::string_view texto);

}  // namespace quilvane::exchange
