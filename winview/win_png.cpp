#include "win_png.h"

#include "win_text.h"

#include <wincodec.h>
#include <windows.h>

#include <vector>

namespace q7win {

namespace {

// A COM interface pointer released when it goes.
template <class T>
class Com {
public:
    Com() = default;
    ~Com() {
        if (p_) p_->Release();
    }
    Com(const Com&) = delete;
    Com& operator=(const Com&) = delete;
    T* operator->() const { return p_; }
    T** out() { return &p_; }
    T* get() const { return p_; }

private:
    T* p_ = nullptr;
};

}  // namespace

std::string check_output_file(const std::string& path) {
    const std::wstring wide = widen(path);
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND) return {};
        if (error == ERROR_PATH_NOT_FOUND) return "cannot write " + path + ": " + windows_error("CreateFile", error);
        // A device name (NUL, CON, COM1) has no attributes to read either.
    } else if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        return path + " is a symbolic link, not a regular file; the viewer replaces only regular files";
    } else if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        return path + " is a folder, not a regular file; the viewer replaces only regular files";
    }
    const HANDLE h = CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        if (attributes == INVALID_FILE_ATTRIBUTES)
            return "cannot write " + path + ": " + windows_error("CreateFile", GetLastError());
        return {};
    }
    const DWORD type = GetFileType(h);
    CloseHandle(h);
    if (type == FILE_TYPE_DISK) return {};
    const char* what = type == FILE_TYPE_PIPE ? "a pipe" : "a device";
    return path + " is " + std::string(what) + ", not a regular file; the viewer replaces only regular files";
}

bool write_png(const std::string& path, const std::uint8_t* pixels, int width, int height, int scale,
               std::string& error) {
    const std::wstring destination = widen(path);
    const std::wstring temporary = destination + L".partial-" + std::to_wstring(GetCurrentProcessId());
    const auto fail = [&](const std::string& why) {
        error = "cannot write " + path + ": " + why;
        DeleteFileW(temporary.c_str());
        return false;
    };
    const HRESULT init = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (FAILED(init) && init != RPC_E_CHANGED_MODE) return fail(hresult_error("CoInitializeEx", init));
    bool ok = false;
    {
        Com<IWICImagingFactory> factory;
        Com<IWICStream> stream;
        Com<IWICBitmapEncoder> encoder;
        Com<IWICBitmapFrameEncode> frame;
        Com<IPropertyBag2> options;
        HRESULT hr = CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                                      reinterpret_cast<void**>(factory.out()));
        if (FAILED(hr)) return fail(hresult_error("CoCreateInstance(WICImagingFactory)", hr));
        if (FAILED(hr = factory->CreateStream(stream.out()))) return fail(hresult_error("CreateStream", hr));
        if (FAILED(hr = stream->InitializeFromFilename(temporary.c_str(), GENERIC_WRITE))) {
            return fail(hresult_error("InitializeFromFilename", hr));
        }
        if (FAILED(hr = factory->CreateEncoder(GUID_ContainerFormatPng, nullptr, encoder.out()))) {
            return fail(hresult_error("CreateEncoder", hr));
        }
        if (FAILED(hr = encoder->Initialize(stream.get(), WICBitmapEncoderNoCache))) {
            return fail(hresult_error("IWICBitmapEncoder::Initialize", hr));
        }
        if (FAILED(hr = encoder->CreateNewFrame(frame.out(), options.out())))
            return fail(hresult_error("CreateNewFrame", hr));
        if (FAILED(hr = frame->Initialize(options.get())))
            return fail(hresult_error("IWICBitmapFrameEncode::Initialize", hr));
        const UINT w = static_cast<UINT>(width) * scale, h = static_cast<UINT>(height) * scale;
        if (FAILED(hr = frame->SetSize(w, h))) return fail(hresult_error("SetSize", hr));
        WICPixelFormatGUID format = GUID_WICPixelFormat24bppBGR;
        if (FAILED(hr = frame->SetPixelFormat(&format)) || format != GUID_WICPixelFormat24bppBGR) {
            return fail(hresult_error("SetPixelFormat", FAILED(hr) ? hr : E_FAIL));
        }
        const UINT stride = w * 3;
        std::vector<BYTE> row(stride);
        for (int y = 0; y < height; ++y) {
            const std::uint8_t* from = pixels + static_cast<std::size_t>(y) * width * 4;
            for (int x = 0; x < width; ++x) {
                for (int k = 0; k < scale; ++k) {
                    BYTE* to = &row[(static_cast<std::size_t>(x) * scale + k) * 3];
                    to[0] = from[x * 4];
                    to[1] = from[x * 4 + 1];
                    to[2] = from[x * 4 + 2];
                }
            }
            for (int k = 0; k < scale; ++k) {
                if (FAILED(hr = frame->WritePixels(1, stride, stride, row.data()))) {
                    return fail(hresult_error("WritePixels", hr));
                }
            }
        }
        if (FAILED(hr = frame->Commit())) return fail(hresult_error("IWICBitmapFrameEncode::Commit", hr));
        if (FAILED(hr = encoder->Commit())) return fail(hresult_error("IWICBitmapEncoder::Commit", hr));
        if (FAILED(hr = stream->Commit(STGC_DEFAULT))) return fail(hresult_error("IWICStream::Commit", hr));
        ok = true;
    }
    if (SUCCEEDED(init)) CoUninitialize();
    if (ok && !MoveFileExW(temporary.c_str(), destination.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        return fail(windows_error("MoveFileEx", GetLastError()));
    }
    return ok;
}

}  // namespace q7win
