#include "ui/DesktopShell.h"

#include <windows.h>
#include <exdisp.h>
#include <oleauto.h>
#include <shldisp.h>
#include <shlguid.h>
#include <shlobj.h>

namespace {

// An owned COM interface pointer.
template <typename T>
class ComRef {
public:
    ComRef() = default;
    ~ComRef() {
        if (p_) p_->Release();
    }
    ComRef(const ComRef&) = delete;
    ComRef& operator=(const ComRef&) = delete;
    T* Get() const { return p_; }
    T* operator->() const { return p_; }
    T** Receive() { return &p_; }
    void** ReceiveVoid() { return reinterpret_cast<void**>(&p_); }

private:
    T* p_ = nullptr;
};

// COM for this thread while it lives; left as it was when COM was already set up here.
class ComApartment {
public:
    ComApartment() : result_(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE)) {}
    ~ComApartment() {
        if (SUCCEEDED(result_)) CoUninitialize();
    }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;
    bool Usable() const { return SUCCEEDED(result_) || result_ == RPC_E_CHANGED_MODE; }

private:
    HRESULT result_;
};

// The desktop's folder view, from the shell's list of its windows, as its automation object.
bool DesktopShellDispatch(ComRef<IShellDispatch2>* shell) {
    ComRef<IShellWindows> windows;
    if (FAILED(CoCreateInstance(CLSID_ShellWindows, nullptr, CLSCTX_LOCAL_SERVER, IID_IShellWindows,
                                windows.ReceiveVoid()))) {
        return false;
    }
    VARIANT location;
    VariantInit(&location);
    location.vt = VT_I4;
    location.lVal = CSIDL_DESKTOP;
    VARIANT root;
    VariantInit(&root);
    long desktopWindow = 0;
    ComRef<IDispatch> found;
    if (windows->FindWindowSW(&location, &root, SWC_DESKTOP, &desktopWindow, SWFO_NEEDDISPATCH, found.Receive()) !=
            S_OK ||
        !found.Get()) {
        return false;
    }
    ComRef<IServiceProvider> services;
    ComRef<IShellBrowser> browser;
    ComRef<IShellView> view;
    ComRef<IDispatch> background;
    ComRef<IShellFolderViewDual> folderView;
    ComRef<IDispatch> application;
    return SUCCEEDED(found->QueryInterface(IID_IServiceProvider, services.ReceiveVoid())) &&
           SUCCEEDED(services->QueryService(SID_STopLevelBrowser, IID_IShellBrowser, browser.ReceiveVoid())) &&
           SUCCEEDED(browser->QueryActiveShellView(view.Receive())) &&
           SUCCEEDED(view->GetItemObject(SVGIO_BACKGROUND, IID_IDispatch, background.ReceiveVoid())) &&
           SUCCEEDED(background->QueryInterface(IID_IShellFolderViewDual, folderView.ReceiveVoid())) &&
           SUCCEEDED(folderView->get_Application(application.Receive())) && application.Get() &&
           SUCCEEDED(application->QueryInterface(IID_IShellDispatch2, shell->ReceiveVoid()));
}

}  // namespace

bool OpenAsDesktopUser(const std::wstring& target) {
    const ComApartment apartment;
    if (!apartment.Usable()) return false;
    ComRef<IShellDispatch2> shell;
    if (!DesktopShellDispatch(&shell)) return false;
    BSTR file = SysAllocString(target.c_str());
    if (!file) return false;
    VARIANT none;
    VariantInit(&none);
    VARIANT show;
    VariantInit(&show);
    show.vt = VT_I4;
    show.lVal = SW_SHOWNORMAL;
    // The shell's process opens the browser; it may bring it to the front.
    CoAllowSetForegroundWindow(shell.Get(), nullptr);
    const HRESULT result = shell->ShellExecute(file, none, none, none, show);
    SysFreeString(file);
    return SUCCEEDED(result);
}
