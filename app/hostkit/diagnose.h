// Why a URL cannot be fetched, as far as a host can tell on its own: the library reports only
// that a download failed, so a host looks again, briefly, to say why (on the terminal, or in the
// log where the window keeps its fixed texts).
#pragma once

#include <string>
#include <vector>

// A sentence such as "it is not a URL", "the scheme ftp: is not supported (http and https
// are)", "connection refused by 127.0.0.1:9", "the certificate of 127.0.0.1 is not trusted
// (self-signed certificate)", "127.0.0.1:8080 does not speak TLS" or "the server answered 404
// Not Found"; empty when nothing wrong shows. TLS trusts what the library trusts (the system's
// store, or SSL_CERT_FILE / SSL_CERT_DIR). Every network wait is bounded by timeoutMs.
std::string DiagnoseUrl(const std::string& url, int timeoutMs = 3000);

struct CUrlDiagnosis {
    std::string url;  // empty when no URL showed a fault
    std::string why;
};
// The first of urls that shows a fault, looking at each in turn until totalMs have passed.
CUrlDiagnosis DiagnoseFirstFault(const std::vector<std::string>& urls, int totalMs = 8000);
