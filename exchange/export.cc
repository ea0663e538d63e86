#include "exchange/export.h"

#include <array>

#include "exchange/exchange_file.h"
#include "exchange/format.h"
#include "exchange/literal.h"

namespace quilvane::exchange {
namespace {

std::string Literal(const db::Field& field, LiteralKind kind) {
  switch (kind) {
    case LiteralKind::kValor2:
      return FormataValor(field.AsCurrency(), 2);
    case LiteralKind::kValor3:
      return FormataValor(field.AsCurrency(), 3);
    case LiteralKind::kData:
      return FormataData(field.AsDateTime());
    case LiteralKind::kTexto:
      return FormataTexto(field.AsString());
  }
  return "NULL";
}

}  // namespace

void ExportPrices(db::Query& produtos, const std::string& arquivo_script,
                  bool sincronizar_preco_farmacia_popular, platform::Env& env) {
  ExchangeFileWriter script(arquivo_script);
  // The day the export started, even when the rows are written after midnight.
  script.WriteLine(FormatExchangeDate(env.Now(), env.Regional()));

  produtos.Open();
  produtos.FetchAll();
  produtos.First();

  if (!produtos.Eof()) {
    // A field is a handle on the current row: looking the columns up once
    // reads the same values as looking them up on every row.
    std::vector<db::Field> fields;
    fields.reserve(kStatementPartCount);
    for (const StatementPart& part : kStatementParts) {
      fields.push_back(produtos.FieldByName(part.column));
    }
    std::string comando;
    for (; !produtos.Eof(); produtos.Next()) {
      comando.clear();
      for (std::size_t i = 0; i < kStatementPartCount; ++i) {
        if (i == kPopularPart && !sincronizar_preco_farmacia_popular) continue;
        comando += kStatementParts[i].fixed_text;
        comando += Literal(fields[i], kStatementParts[i].kind);
      }
      script.WriteLine(comando);
    }
  }
  script.Close();
}

}  // namespace quilvane::exchange
