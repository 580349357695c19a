#pragma once
// The endpoint's web configuration file, in the YAML form Prometheus
// exporters share:
//   basic_auth_users:
//     prometheus: $2b$12$...      (a bcrypt hash of the password)
// Its tls_server_config is refused with a reason: the server library as
// Debian builds it calls into OpenSSL 3 through a symbol that library no
// longer exports, and ends the process at the first TLS request.
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct TWebConfig {
  std::vector<std::pair<std::string, std::string>> Users;  // name, bcrypt hash
};

// Reads Path into Config. False with a one-line reason: a file that cannot be
// read, a setting this program does not know (TLS among them), a hash that is
// not bcrypt.
bool LoadWebConfig(const std::string& Path, TWebConfig& Config, std::string& Error);

// Whether an Authorization header ("Basic base64(user:password)") names a
// user of Config with the right password; true when Config has no users.
bool Authorized(const TWebConfig& Config, std::string_view Authorization);
