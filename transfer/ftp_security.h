#pragma once

namespace quilvane::transfer {

// How an FTP session is protected; "ServidorFTP"'s scheme chooses it.
enum class FtpSecurity {
  kNone,      // a bare host (or ftp://): plain FTP, as ever
  kExplicit,  // ftpes://: AUTH TLS on the plain port, before the login
  kImplicit,  // ftps://: TLS from the first byte, port 990 by default
};

}  // namespace quilvane::transfer
