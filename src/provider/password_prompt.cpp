// The process's password prompt: how a context that was not opened silent
// asks for a key's password it was not given.
#include <mutex>

#include "provider/vrk_internal.h"

namespace vrk {
namespace {

struct PromptSlot {
    std::mutex mu;
    VRKPasswordPrompt prompt = nullptr;
    void* context = nullptr;
};

PromptSlot& Slot() {
    static PromptSlot slot;
    return slot;
}

}  // namespace

Prompted AskPassword(const ProvObj& p, const Target& t, DWORD spec, DWORD purpose, Secret& password) {
    if (p.silent) return Prompted::NoPrompt;
    VRKPasswordPrompt prompt;
    void* context;
    {
        std::lock_guard<std::mutex> lock(Slot().mu);
        prompt = Slot().prompt;
        context = Slot().context;
    }
    if (!prompt) return Prompted::NoPrompt;
    Secret answer;
    BOOL given = FALSE;
    try {
        given = prompt(t.name.c_str(), spec, purpose, answer, context);
    } catch (...) {
        // A prompt that fails has given nothing.
        given = FALSE;
    }
    if (!given) return Prompted::Cancelled;
    password = std::move(answer);
    return Prompted::Given;
}

void KeepPromptedPassword(ProvObj& p, const Target& t, DWORD spec, const Secret& password) {
    if (password.empty() || t.name != p.container || t.machine != p.machine) return;
    (spec == AT_KEYEXCHANGE ? p.pwExchange : p.pwSignature).emplace(password);
}

}  // namespace vrk

void VRKSetPasswordPrompt(VRKPasswordPrompt prompt, void* context) {
    std::lock_guard<std::mutex> lock(vrk::Slot().mu);
    vrk::Slot().prompt = prompt;
    vrk::Slot().context = context;
}
