// Small cJSON wrappers for flat objects whose every value is a string: the only shape the renewal
// protocol and the server's store use.
#pragma once

#include <cjson/cJSON.h>

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace rv::server {

using Fields = std::vector<std::pair<std::string, std::string>>;

// {"k":"v",...} in the given order, unformatted, UTF-8 (cJSON escapes what needs escaping).
std::string JsonObject(const Fields& fields);

// A parsed object. Ok() is false for text that is not one JSON object.
class JsonDoc {
public:
    explicit JsonDoc(std::string_view text);
    bool Ok() const { return root_ != nullptr; }
    bool Has(const char* key) const;
    // True and the value when `key` holds a JSON string.
    bool GetString(const char* key, std::string& out) const;

private:
    struct Free {
        void operator()(cJSON* j) const { cJSON_Delete(j); }
    };
    std::unique_ptr<cJSON, Free> root_;
};

} // namespace rv::server
