#include "headless/WebConfig.h"

#include <crypt.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <yaml.h>

#include <fstream>
#include <sstream>
#include <iterator>
#include <memory>

namespace {

using TDocument = std::unique_ptr<yaml_document_t, void (*)(yaml_document_t*)>;

std::string Scalar(yaml_document_t& document, int id) {
  const yaml_node_t* node = yaml_document_get_node(&document, id);
  if (!node || node->type != YAML_SCALAR_NODE) return {};
  return {reinterpret_cast<const char*>(node->data.scalar.value), node->data.scalar.length};
}

// The pairs of a mapping node as (key, value node); false when it is none.
bool Pairs(yaml_document_t& document, const yaml_node_t* node, std::vector<std::pair<std::string, int>>& out) {
  if (!node || node->type != YAML_MAPPING_NODE) return false;
  for (auto* pair = node->data.mapping.pairs.start; pair < node->data.mapping.pairs.top; ++pair)
    out.emplace_back(Scalar(document, pair->key), pair->value);
  return true;
}

bool ReadFile(const std::string& path, std::string& text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream whole;
  whole << in.rdbuf();
  text = std::move(whole).str();
  return !text.empty();
}

}  // namespace

bool LoadWebConfig(const std::string& path, TWebConfig& config, std::string& error) {
  config = {};
  std::string text;
  if (!ReadFile(path, text)) {
    error = "cannot read the web configuration " + path;
    return false;
  }
  yaml_parser_t parser;
  yaml_parser_initialize(&parser);
  yaml_parser_set_input_string(&parser, reinterpret_cast<const unsigned char*>(text.data()), text.size());
  TDocument document(new yaml_document_t{}, [](yaml_document_t* d) {
    yaml_document_delete(d);
    delete d;
  });
  const bool parsed = yaml_parser_load(&parser, document.get()) != 0;
  const std::string problem = parser.problem ? parser.problem : "";
  const auto line = parser.problem_mark.line + 1;
  yaml_parser_delete(&parser);
  if (!parsed) {
    error = path + ":" + std::to_string(line) + ": " + problem;
    return false;
  }
  const yaml_node_t* root = yaml_document_get_root_node(document.get());
  std::vector<std::pair<std::string, int>> top;
  if (root && !Pairs(*document, root, top)) {
    error = path + ": not a mapping of settings";
    return false;
  }
  for (const auto& [key, value] : top) {
    if (key == "tls_server_config") {
      error = path + ": tls_server_config is not available in this build; serve through a TLS proxy";
      return false;
    }
    if (key != "basic_auth_users") {
      error = path + ": unknown setting " + key;
      return false;
    }
    std::vector<std::pair<std::string, int>> users;
    const yaml_node_t* node = yaml_document_get_node(document.get(), value);
    // An empty value is no users.
    if (!Pairs(*document, node, users) && !(node && node->type == YAML_SCALAR_NODE && Scalar(*document, value).empty())) {
      error = path + ": " + key + " must be a mapping of user names to bcrypt hashes";
      return false;
    }
    for (const auto& [name, setting] : users) {
      const std::string hash = Scalar(*document, setting);
      // Only bcrypt: a hash that costs a guesser, as exporters require.
      if (hash.size() != 60 ||
          (hash.rfind("$2a$", 0) != 0 && hash.rfind("$2b$", 0) != 0 && hash.rfind("$2y$", 0) != 0)) {
        error = path + ": the password of " + name + " must be a bcrypt hash ($2b$...)";
        return false;
      }
      config.Users.emplace_back(name, hash);
    }
  }
  return true;
}

bool Authorized(const TWebConfig& config, std::string_view authorization) {
  if (config.Users.empty()) return true;
  constexpr std::string_view Basic = "Basic ";
  if (!authorization.starts_with(Basic) || authorization.size() > 1024) return false;
  authorization.remove_prefix(Basic.size());
  std::string decoded(authorization.size(), '\0');
  const int length = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(decoded.data()),
                                     reinterpret_cast<const unsigned char*>(authorization.data()),
                                     static_cast<int>(authorization.size()));
  if (length < 0) return false;
  // The block decoder counts the padding as bytes.
  std::size_t size = static_cast<std::size_t>(length);
  for (std::size_t i = authorization.size(); i > 0 && authorization[i - 1] == '=' && size > 0; --i) --size;
  decoded.resize(size);
  const auto colon = decoded.find(':');
  if (colon == std::string::npos) return false;
  const std::string user = decoded.substr(0, colon), password = decoded.substr(colon + 1);
  for (const auto& [name, hash] : config.Users) {
    if (name != user) continue;
    // Its work area is 32 KiB, too much for a server thread's stack.
    const auto data = std::make_unique<crypt_data>();
    const char* computed = crypt_r(password.c_str(), hash.c_str(), data.get());
    return computed && hash.size() == std::char_traits<char>::length(computed) &&
           CRYPTO_memcmp(computed, hash.data(), hash.size()) == 0;
  }
  return false;
}
