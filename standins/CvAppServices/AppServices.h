// The application services: one object answering the four interfaces from AppServices.ini.
#pragma once
#include <windows.h>
#include "appservices.h"
#include "server/ComObject.h"
#include "server/Dispatch.h"
#include "standins/common/StandinCom.h"

// Slots the merge-module server never calls keep their place in the vtables.
#define CV_UNUSED_SLOT(n) \
    STDMETHODIMP Unused##n() override { return E_NOTIMPL; }

class AppServices : public ComObjectRoot,
                    public ISupportErrorInfo,
                    public DispatchImpl<IAppSettings, &IID_IAppSettings, OwnTypeInfo>,
                    public DispatchImpl<IAppFolders, &IID_IAppFolders, OwnTypeInfo>,
                    public DispatchImpl<IAppSearchPaths, &IID_IAppSearchPaths, OwnTypeInfo>,
                    public DispatchImpl<IAppSettingsFiles, &IID_IAppSettingsFiles, OwnTypeInfo> {
public:
    void* InternalQueryInterface(REFIID iid);
    STDMETHODIMP InterfaceSupportsErrorInfo(REFIID iid) override;

    // IAppSettings
    STDMETHODIMP MergeModuleSearchPath(BSTR* path) override;
    STDMETHODIMP MergeModuleFolder(LONG index, BSTR* folder) override;
    // IAppFolders
    STDMETHODIMP ApplicationFolder(BSTR* folder) override;
    STDMETHODIMP FilesToModulesIndexFolder(BSTR* folder) override;
    STDMETHODIMP ModulesIndexFolder(BSTR* folder) override;
    STDMETHODIMP SecondSearchPath(BSTR* path) override;
    STDMETHODIMP ExcludedFilePatterns(BSTR* patterns) override;
    // IAppSearchPaths
    STDMETHODIMP SearchPath(BSTR* path) override;
    STDMETHODIMP SetSearchPath(BSTR path) override;
    STDMETHODIMP MatchResolvedFolder(VARIANT_BOOL* on) override;
    STDMETHODIMP MatchDirectoryKey(VARIANT_BOOL* on) override;
    STDMETHODIMP Prepare(BSTR* unused) override;
    // IAppSettingsFiles
    STDMETHODIMP SettingsFile(LONG kind, BSTR* path) override;

    // One definition serves the slot of that number in every interface that has it.
    CV_UNUSED_SLOT(7) CV_UNUSED_SLOT(8) CV_UNUSED_SLOT(9) CV_UNUSED_SLOT(10) CV_UNUSED_SLOT(11) CV_UNUSED_SLOT(12) CV_UNUSED_SLOT(13) CV_UNUSED_SLOT(14)
    CV_UNUSED_SLOT(15) CV_UNUSED_SLOT(16) CV_UNUSED_SLOT(17) CV_UNUSED_SLOT(18) CV_UNUSED_SLOT(19) CV_UNUSED_SLOT(20) CV_UNUSED_SLOT(21) CV_UNUSED_SLOT(22)
    CV_UNUSED_SLOT(23) CV_UNUSED_SLOT(24) CV_UNUSED_SLOT(25) CV_UNUSED_SLOT(26) CV_UNUSED_SLOT(27) CV_UNUSED_SLOT(28) CV_UNUSED_SLOT(29) CV_UNUSED_SLOT(30)
    CV_UNUSED_SLOT(31) CV_UNUSED_SLOT(32) CV_UNUSED_SLOT(33) CV_UNUSED_SLOT(34) CV_UNUSED_SLOT(35) CV_UNUSED_SLOT(36) CV_UNUSED_SLOT(37) CV_UNUSED_SLOT(38)
    CV_UNUSED_SLOT(39) CV_UNUSED_SLOT(40) CV_UNUSED_SLOT(41) CV_UNUSED_SLOT(42) CV_UNUSED_SLOT(43) CV_UNUSED_SLOT(44) CV_UNUSED_SLOT(45) CV_UNUSED_SLOT(46)
    CV_UNUSED_SLOT(47) CV_UNUSED_SLOT(48) CV_UNUSED_SLOT(49) CV_UNUSED_SLOT(50) CV_UNUSED_SLOT(51) CV_UNUSED_SLOT(52) CV_UNUSED_SLOT(53) CV_UNUSED_SLOT(54)
    CV_UNUSED_SLOT(55) CV_UNUSED_SLOT(56) CV_UNUSED_SLOT(57) CV_UNUSED_SLOT(58) CV_UNUSED_SLOT(59) CV_UNUSED_SLOT(60) CV_UNUSED_SLOT(61) CV_UNUSED_SLOT(62)
    CV_UNUSED_SLOT(63) CV_UNUSED_SLOT(64) CV_UNUSED_SLOT(65) CV_UNUSED_SLOT(66) CV_UNUSED_SLOT(67) CV_UNUSED_SLOT(68) CV_UNUSED_SLOT(69) CV_UNUSED_SLOT(70)
    CV_UNUSED_SLOT(71) CV_UNUSED_SLOT(72) CV_UNUSED_SLOT(73) CV_UNUSED_SLOT(74) CV_UNUSED_SLOT(75) CV_UNUSED_SLOT(76) CV_UNUSED_SLOT(77) CV_UNUSED_SLOT(78)
    CV_UNUSED_SLOT(79) CV_UNUSED_SLOT(80) CV_UNUSED_SLOT(81)

private:
    static HRESULT Text(const wchar_t* section, const wchar_t* key, BSTR* out);
    static HRESULT Switch(const wchar_t* section, const wchar_t* key, VARIANT_BOOL* on);
};
