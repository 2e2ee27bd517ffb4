#pragma once
// IShockwaveFlash: the dual interface of the Flash player control, as its
// type library lays it out. No SDK header declares it. Only the methods up
// to the Movie property are declared; the vtable continues beyond them, but
// nothing here calls those slots.

#include <windows.h>
#include <oaidl.h>

MIDL_INTERFACE("D27CDB6C-AE6D-11CF-96B8-444553540000")
IShockwaveFlash : public IDispatch
{
    virtual HRESULT STDMETHODCALLTYPE get_ReadyState(long* state) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_TotalFrames(long* frames) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Playing(VARIANT_BOOL* playing) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_Playing(VARIANT_BOOL playing) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Quality(int* quality) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_Quality(int quality) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ScaleMode(int* mode) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_ScaleMode(int mode) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_AlignMode(int* mode) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_AlignMode(int mode) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_BackgroundColor(long* color) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_BackgroundColor(long color) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Loop(VARIANT_BOOL* loop) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_Loop(VARIANT_BOOL loop) = 0;
    // The movie URL as the page gave it (not resolved).
    virtual HRESULT STDMETHODCALLTYPE get_Movie(BSTR* movie) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_Movie(BSTR movie) = 0;
};
__CRT_UUID_DECL(IShockwaveFlash, 0xd27cdb6c, 0xae6d, 0x11cf, 0x96, 0xb8, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00)

// The Flash player's dispatch identifier of the Movie property.
constexpr DISPID kShockwaveFlashMovieDispId = 0x66;
