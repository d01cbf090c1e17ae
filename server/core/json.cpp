#include "core/json.h"

namespace rv::server {

std::string JsonObject(const Fields& fields) {
    cJSON* obj = cJSON_CreateObject();
    if (obj == nullptr) {
        return "{}";
    }
    for (const auto& [key, value] : fields) {
        cJSON_AddItemToObject(obj, key.c_str(), cJSON_CreateString(value.c_str()));
    }
    char* text = cJSON_PrintUnformatted(obj);
    std::string out = text != nullptr ? text : "{}";
    cJSON_free(text);
    cJSON_Delete(obj);
    return out;
}

JsonDoc::JsonDoc(std::string_view text) {
    const char* end = nullptr;
    cJSON* root = cJSON_ParseWithLengthOpts(text.data(), text.size(), &end, 0);
    if (root != nullptr && !cJSON_IsObject(root)) {
        cJSON_Delete(root);
        root = nullptr;
    }
    // Only white space may follow the object.
    if (root != nullptr && end != nullptr) {
        for (const char* p = end; p < text.data() + text.size(); ++p) {
            if (*p != ' ' && *p != '\t' && *p != '\r' && *p != '\n') {
                cJSON_Delete(root);
                root = nullptr;
                break;
            }
        }
    }
    root_.reset(root);
}

bool JsonDoc::Has(const char* key) const {
    return root_ && cJSON_GetObjectItemCaseSensitive(root_.get(), key) != nullptr;
}

bool JsonDoc::GetString(const char* key, std::string& out) const {
    if (!root_) {
        return false;
    }
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(root_.get(), key);
    if (!cJSON_IsString(item) || item->valuestring == nullptr) {
        return false;
    }
    out = item->valuestring;
    return true;
}

} // namespace rv::server
