#include "faults.h"

#include "card_image.h"

#include <cjson/cJSON.h>

#include <cerrno>
#include <fstream>
#include <memory>
#include <sstream>
#include <system_error>

namespace rv::softcard {
namespace {

struct JsonFree {
    void operator()(cJSON* j) const { cJSON_Delete(j); }
};
using JsonPtr = std::unique_ptr<cJSON, JsonFree>;

constexpr std::uintmax_t kMaxFaultFileBytes = 1u << 20;

bool IntMember(const cJSON* obj, const char* name, int lo, int hi, int& out, std::string& error) {
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(obj, name);
    if (!item) {
        return true;
    }
    if (!cJSON_IsNumber(item) || !(item->valuedouble >= lo && item->valuedouble <= hi) ||
        item->valuedouble != static_cast<double>(static_cast<int>(item->valuedouble))) {
        error = std::string("故障文件字段无效: ") + name;
        return false;
    }
    out = static_cast<int>(item->valuedouble);
    return true;
}

bool StringMember(const cJSON* obj, const char* name, std::string& out, std::string& error) {
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(obj, name);
    if (!item) {
        return true;
    }
    if (!cJSON_IsString(item) || !item->valuestring) {
        error = std::string("故障文件字段无效: ") + name;
        return false;
    }
    out = item->valuestring;
    return true;
}

} // namespace

std::filesystem::path FaultFileFor(const std::filesystem::path& image) {
    std::filesystem::path p = image;
    p += ".faults";
    return p;
}

std::string FaultPlanToJson(const FaultPlan& plan) {
    JsonPtr root(cJSON_CreateObject());
    if (!plan.methods.empty()) {
        cJSON* methods = cJSON_AddObjectToObject(root.get(), "methods");
        for (const auto& [name, f] : plan.methods) {
            cJSON* m = cJSON_AddObjectToObject(methods, name.c_str());
            if (f.fail != 0) {
                cJSON_AddNumberToObject(m, "fail", f.fail);
                cJSON_AddNumberToObject(m, "status", f.status);
                if (!f.message.empty()) {
                    cJSON_AddStringToObject(m, "message", f.message.c_str());
                }
            }
            if (f.delayMs != 0) {
                cJSON_AddNumberToObject(m, "delayMs", f.delayMs);
            }
        }
    }
    if (!plan.swapImage.empty()) {
        cJSON_AddStringToObject(root.get(), "swapImage", plan.swapImage.c_str());
    }
    if (plan.saveDelayMs != 0) {
        cJSON_AddNumberToObject(root.get(), "saveDelayMs", plan.saveDelayMs);
    }
    char* text = cJSON_Print(root.get());
    std::string out = text ? text : "{}";
    cJSON_free(text);
    return out + "\n";
}

bool FaultPlanFromJson(const std::string& json, FaultPlan& out, std::string& error) {
    out = FaultPlan{};
    JsonPtr root(cJSON_ParseWithLength(json.data(), json.size()));
    if (!root || !cJSON_IsObject(root.get())) {
        error = "故障文件不是有效的JSON对象";
        return false;
    }
    FaultPlan plan;
    if (const cJSON* methods = cJSON_GetObjectItemCaseSensitive(root.get(), "methods")) {
        if (!cJSON_IsObject(methods)) {
            error = "故障文件字段无效: methods";
            return false;
        }
        for (const cJSON* m = methods->child; m; m = m->next) {
            if (!cJSON_IsObject(m) || !m->string) {
                error = "故障文件字段无效: methods";
                return false;
            }
            MethodFault f;
            if (!IntMember(m, "fail", -1, 1'000'000, f.fail, error) ||
                !IntMember(m, "status", -1'000'000, 1'000'000, f.status, error) ||
                !IntMember(m, "delayMs", 0, kMaxFaultDelayMs, f.delayMs, error) ||
                !StringMember(m, "message", f.message, error)) {
                return false;
            }
            plan.methods[m->string] = f;
        }
    }
    if (!StringMember(root.get(), "swapImage", plan.swapImage, error) ||
        !IntMember(root.get(), "saveDelayMs", 0, kMaxFaultDelayMs, plan.saveDelayMs, error)) {
        return false;
    }
    out = std::move(plan);
    return true;
}

bool LoadFaultPlan(const std::filesystem::path& faultFile, FaultPlan& out, std::string& error) {
    out = FaultPlan{};
    std::error_code ec;
    if (!std::filesystem::exists(faultFile, ec)) {
        return true;
    }
    if (!std::filesystem::is_regular_file(faultFile, ec) ||
        std::filesystem::file_size(faultFile, ec) > kMaxFaultFileBytes) {
        error = "故障文件无效";
        return false;
    }
    std::ifstream in(faultFile, std::ios::binary);
    if (!in) {
        error = "故障文件无法打开";
        return false;
    }
    std::ostringstream ss;
    ss << in.rdbuf();
    return FaultPlanFromJson(ss.str(), out, error);
}

bool SaveFaultPlan(const std::filesystem::path& faultFile, const FaultPlan& plan, std::string& error) {
    if (plan.Empty()) {
        std::error_code ec;
        std::filesystem::remove(faultFile, ec);
        if (ec) {
            error = "故障文件无法删除";
            return false;
        }
        return true;
    }
    return WriteFileAtomically(faultFile, FaultPlanToJson(plan), error);
}

bool TakeFailure(FaultPlan& plan, const std::string& name, MethodFault& fired, bool& changed) {
    changed = false;
    auto it = plan.methods.find(name);
    if (it == plan.methods.end() || it->second.fail == 0) {
        return false;
    }
    fired = it->second;
    if (it->second.fail > 0) {
        --it->second.fail;
        changed = true;
        if (it->second.fail == 0 && it->second.delayMs == 0) {
            plan.methods.erase(it);
        }
    }
    return true;
}

} // namespace rv::softcard
