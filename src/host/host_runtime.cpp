#include "host/host_runtime.h"

#include <array>
#include <cstring>
#include <string>

#include "brevorin_host.h"

namespace brevorin::host {

namespace {

constexpr int kStores = 64;
constexpr int kSettings = 256;

struct Setting {
    int kind = kHostValueAbsent;
    int value = 0;
    std::string text;
};

struct Store {
    bool in_use = false;
    std::array<Setting, kSettings> settings;
};

std::array<Store, kStores> g_stores;

Store* store_of(uint32_t id) {
    if (id == 0 || id > kStores) return nullptr;
    Store& store = g_stores[id - 1];
    return store.in_use ? &store : nullptr;
}

Setting* setting_of(brevorin_host_context* ctx, int number) {
    if (ctx == nullptr || number < 0 || number >= kSettings) return nullptr;
    Store* store = store_of(ctx->runtime_id);
    return store ? &store->settings[number] : nullptr;
}

}  // namespace

int host_runtime_query(uint32_t runtime_word, uint16_t number, char* /*text_out*/,
                       char* own_buffer, int* kind) {
    *kind = kHostValueAbsent;
    own_buffer[0] = '\0';
    Store* store = store_of(runtime_word);
    if (store == nullptr || number >= kSettings) return 0;
    const Setting& setting = store->settings[number];
    *kind = setting.kind;
    if (setting.kind == kHostValueText) {
        size_t n = setting.text.size() < kHostTextBuffer - 1 ? setting.text.size()
                                                             : kHostTextBuffer - 1;
        std::memcpy(own_buffer, setting.text.data(), n);
        own_buffer[n] = '\0';
        return 0;
    }
    return setting.kind == kHostValueInteger ? setting.value : 0;
}

void host_runtime_put_message(const void* context, const char* line) {
    const auto* ctx = static_cast<const brevorin_host_context*>(context);
    if (ctx == nullptr || ctx->sink == nullptr) return;
    ctx->sink(ctx->sink_user, line);
}

}  // namespace brevorin::host


extern "C" BREVORIN_API int brevorin_host_context_init(brevorin_host_context* ctx) noexcept {
    if (ctx == nullptr) return -1;
    std::memset(ctx, 0, sizeof *ctx);
    for (int i = 0; i < brevorin::host::kStores; ++i) {
        auto& store = brevorin::host::g_stores[i];
        if (!store.in_use) {
            store = brevorin::host::Store{};
            store.in_use = true;
            ctx->runtime_id = static_cast<uint32_t>(i + 1);
            return 0;
        }
    }
    return -1;
}

extern "C" BREVORIN_API void brevorin_host_context_release(brevorin_host_context* ctx) noexcept {
    if (ctx == nullptr) return;
    if (auto* store = brevorin::host::store_of(ctx->runtime_id)) {
        *store = brevorin::host::Store{};
    }
    ctx->runtime_id = 0;
}

extern "C" BREVORIN_API int brevorin_host_set_int(brevorin_host_context* ctx, int number,
                                                  int value) noexcept {
    auto* setting = brevorin::host::setting_of(ctx, number);
    if (setting == nullptr) return -1;
    setting->kind = brevorin::host::kHostValueInteger;
    setting->value = value;
    setting->text.clear();
    return 0;
}

extern "C" BREVORIN_API int brevorin_host_set_text(brevorin_host_context* ctx, int number,
                                                   const char* text) noexcept {
    auto* setting = brevorin::host::setting_of(ctx, number);
    if (setting == nullptr || text == nullptr) return -1;
    setting->kind = brevorin::host::kHostValueText;
    setting->value = 0;
    try {
        setting->text.assign(text, strnlen(text, brevorin::host::kHostTextBuffer - 1));
    } catch (...) {  // no exception may reach the host
        setting->text.clear();
        return -1;
    }
    return 0;
}

extern "C" BREVORIN_API int brevorin_host_clear(brevorin_host_context* ctx, int number) noexcept {
    auto* setting = brevorin::host::setting_of(ctx, number);
    if (setting == nullptr) return -1;
    *setting = brevorin::host::Setting{};
    return 0;
}

extern "C" BREVORIN_API void brevorin_host_set_message_sink(brevorin_host_context* ctx,
                                                            brevorin_message_sink sink,
                                                            void* user) noexcept {
    if (ctx == nullptr) return;
    ctx->sink = sink;
    ctx->sink_user = user;
}
