#include "shell/CallFrame.h"

static HANDLE g_hActCtx = INVALID_HANDLE_VALUE;

void CreateModuleActivationContext(HINSTANCE hInstance)
{
    ACTCTXW ctx = {};
    ctx.cbSize = sizeof(ctx);
    ctx.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID | ACTCTX_FLAG_HMODULE_VALID;
    ctx.hModule = hInstance;
    ctx.lpResourceName = MAKEINTRESOURCEW(2);
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(hInstance, path, MAX_PATH);
    ctx.lpSource = path;
    g_hActCtx = CreateActCtxW(&ctx);
}

void ReleaseModuleActivationContext()
{
    if (g_hActCtx != INVALID_HANDLE_VALUE) {
        ReleaseActCtx(g_hActCtx);
        g_hActCtx = INVALID_HANDLE_VALUE;
    }
}

CModuleStateScope::CModuleStateScope()
{
    if (g_hActCtx != INVALID_HANDLE_VALUE)
        m_active = ActivateActCtx(g_hActCtx, &m_cookie) != FALSE;
}

CModuleStateScope::~CModuleStateScope()
{
    if (m_active)
        DeactivateActCtx(0, m_cookie);
}
