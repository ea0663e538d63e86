// Guards the settings the cycle reads every time, with their defaults.
#include "sync/settings.h"

#include <gtest/gtest.h>

#include "tests/support/fake_env.h"
#include "tests/support/temp_dir.h"

namespace quilvane::sync {
namespace {

TEST(Settings, DefaultsWithoutFile) {
  testing::FakeEnv env;
  testing::TempDir dir;
  const Settings s = ReadSettings(SettingsPath(dir.path()), env);
  EXPECT_EQ("", s.cnpj_servidor);
  EXPECT_EQ(*platform::TryEncodeDate(2023, 7, 19), s.data_ultima_sincronizacao);
  EXPECT_FALSE(s.sincronizar_preco_farmacia_popular);
  EXPECT_EQ("", s.servidor_ftp);
}

TEST(Settings, ReadsEveryKey) {
  testing::FakeEnv env;
  testing::TempDir dir;
  dir.Write("Quilvane.ini",
            "[Quilvane]\r\nCNPJServidor=12.345.678/0001-90\r\nDataUltimaSincronizacao=1/2/23\r\n"
            "SincronizarPrecoFarmaciaPopular=-1\r\nServidorFTP=127.0.0.1:2121\r\n"
            "UsuarioFTP=quilvane\r\nDominioWeb=localhost:8080\r\n");
  const Settings s = ReadSettings(SettingsPath(dir.path()), env);
  EXPECT_EQ("12.345.678/0001-90", s.cnpj_servidor);
  EXPECT_EQ(*platform::TryEncodeDate(2023, 2, 1), s.data_ultima_sincronizacao);
  EXPECT_TRUE(s.sincronizar_preco_farmacia_popular);
  EXPECT_EQ("127.0.0.1:2121", s.servidor_ftp);
  EXPECT_EQ("quilvane", s.usuario_ftp);
  EXPECT_EQ("localhost:8080", s.dominio_web);
}

TEST(Settings, DateFollowsTheRegionalOrder) {
  testing::FakeEnv env;
  testing::TempDir dir;
  const std::string path = SettingsPath(dir.path());
  WriteLastSync(path, *platform::TryEncodeDate(2023, 2, 7), env);
  EXPECT_EQ("[Quilvane]\r\nDataUltimaSincronizacao=07/02/2023\r\n", dir.Read("Quilvane.ini"));
  env.set_regional({'/', ':', '.', "M/d/yyyy"});
  EXPECT_EQ(*platform::TryEncodeDate(2023, 7, 2), ReadSettings(path, env).data_ultima_sincronizacao);
  env.set_regional({'-', ':', ',', "dd/MM/yyyy"});
  // "07/02/2023" does not convert with "-": the default.
  EXPECT_EQ(*platform::TryEncodeDate(2023, 7, 19), ReadSettings(path, env).data_ultima_sincronizacao);
}

}  // namespace
}  // namespace quilvane::sync
