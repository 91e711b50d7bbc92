#pragma once

#include <QString>

#include <curl/curl.h>

// Small owners of libcurl handles, so that no return path leaks one. They are meant to be
// included by .cpp files only: headers keep libcurl out of sight of the rest of the program.

// Runs curl_global_init once per process, from whichever thread gets here first. The
// handle owners below call it, so no caller has to remember to.
void EnsureCurlGlobalInit();

// One easy handle: the settings and the connection state of a series of transfers. Its
// sockets are opened close-on-exec, so no program the process starts inherits them; keep
// CURLOPT_OPENSOCKETFUNCTION as it is set here (and do not curl_easy_reset the handle).
class CCurlEasy
{
public:
    CCurlEasy();
    ~CCurlEasy();
    CCurlEasy(const CCurlEasy&) = delete;
    CCurlEasy& operator=(const CCurlEasy&) = delete;

    // Null only when libcurl could not allocate the handle.
    CURL* Get() const { return m_pHandle; }
    explicit operator bool() const { return m_pHandle != nullptr; }

private:
    CURL* m_pHandle = nullptr;
};

// One multi handle. It owns the connection cache, so keeping it alive across transfers is
// what lets a later transfer reuse an open connection to the same server.
class CCurlMulti
{
public:
    CCurlMulti();
    ~CCurlMulti();
    CCurlMulti(const CCurlMulti&) = delete;
    CCurlMulti& operator=(const CCurlMulti&) = delete;

    CURLM* Get() const { return m_pHandle; }
    explicit operator bool() const { return m_pHandle != nullptr; }

private:
    CURLM* m_pHandle = nullptr;
};

// A curl_slist (request headers, mail recipients). libcurl only borrows the list, so it
// must outlive every transfer that uses it.
class CCurlStringList
{
public:
    CCurlStringList() = default;
    ~CCurlStringList();
    CCurlStringList(const CCurlStringList&) = delete;
    CCurlStringList& operator=(const CCurlStringList&) = delete;

    // Copies the text; false when libcurl could not allocate, the list then stays as it was.
    bool Append(const char* text);
    curl_slist* Get() const { return m_pList; }
    bool IsEmpty() const { return m_pList == nullptr; }

private:
    curl_slist* m_pList = nullptr;
};

// libcurl's short text for the code, with the detail it left in the error buffer (which names
// the host, the port or the limit that was hit) when that adds anything.
QString CurlMessage(CURLcode code, const char* detail = nullptr);

// Trusts the certificates of the PEM file caFile besides the system's for the handle's TLS
// connections; nothing when caFile is empty. False (with error naming the file and what is
// wrong with it) when the file cannot be read or holds no certificate.
bool ApplyTlsTrust(CURL* handle, const QString& caFile, QString& error);
