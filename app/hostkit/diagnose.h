// Why a URL cannot be fetched, as far as a host can tell on its own: the library reports only
// that a download failed, so the command-line host looks again, briefly, to say why.
#pragma once

#include <string>

// A sentence such as "it is not a URL", "the scheme ftp: is not supported (http and https
// are)", "connection refused by 127.0.0.1:9" or "the server answered 404 Not Found"; empty when
// nothing wrong shows. Every network wait is bounded by timeoutMs.
std::string DiagnoseUrl(const std::string& url, int timeoutMs = 3000);
