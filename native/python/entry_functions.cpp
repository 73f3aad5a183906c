// probe_file and probe_key_file: bind the arguments with the interpreter's own
// rules (so binding errors come before any conversion), convert them in the
// order of the signature, and hand them to the flows.
#include "python/entry_functions.hpp"

#include "python/arguments.hpp"
#include "python/errors.hpp"
#include "python/flows.hpp"

#include <string>
#include <utility>

namespace quorlin::python {

namespace {

using input::OptionTexts;
using input::RawKeyTexts;

// The keyword-only arguments both functions share, still unconverted.
struct CommonObjects {
    PyObject* ping = nullptr;
    PyObject* resolve = nullptr;
    PyObject* dns_server = nullptr;
    PyObject* handshake_timeout_ms = nullptr;
    PyObject* ping_timeout_ms = nullptr;
    PyObject* dns_timeout_ms = nullptr;
    PyObject* deadline_ms = nullptr;
    PyObject* ping_count = nullptr;
    PyObject* ping_interval_ms = nullptr;
    PyObject* mtu_check = nullptr;
    PyObject* mtu = nullptr;
    PyObject* tcp = nullptr;
    PyObject* tcp_timeout_ms = nullptr;
    PyObject* tls = nullptr;
    PyObject* tls_server_name = nullptr;
    PyObject* ca_file = nullptr;
    PyObject* http = nullptr;
    PyObject* http_status = nullptr;
    PyObject* http_expect = nullptr;
};

// A path argument that may be left out (None).
bool convert_optional_path(PyObject* value, const char* parameter, std::optional<std::string>& path) {
    if (value == nullptr || value == Py_None) return true;
    return convert_path(value, parameter, path.emplace());
}

bool convert_common(const CommonObjects& objects, OptionTexts& options) {
    return convert_text_list(objects.ping, "ping", options.ping) &&
           convert_text_list(objects.resolve, "resolve", options.resolve) &&
           convert_optional_text(objects.dns_server, "dns_server", options.dns_server) &&
           convert_timeout(objects.handshake_timeout_ms, "handshake_timeout_ms", options.handshake_timeout_ms) &&
           convert_timeout(objects.ping_timeout_ms, "ping_timeout_ms", options.ping_timeout_ms) &&
           convert_timeout(objects.dns_timeout_ms, "dns_timeout_ms", options.dns_timeout_ms) &&
           convert_timeout(objects.deadline_ms, "deadline_ms", options.deadline_ms) &&
           convert_integer(objects.ping_count, "ping_count", options.ping_count) &&
           convert_integer(objects.ping_interval_ms, "ping_interval_ms", options.ping_interval_ms) &&
           convert_flag(objects.mtu_check, "mtu_check", options.mtu_check) &&
           convert_optional_integer(objects.mtu, "mtu", options.mtu) &&
           convert_text_list(objects.tcp, "tcp", options.tcp) &&
           convert_timeout(objects.tcp_timeout_ms, "tcp_timeout_ms", options.tcp_timeout_ms) &&
           convert_text_list(objects.tls, "tls", options.tls) &&
           convert_optional_text(objects.tls_server_name, "tls_server_name", options.tls_server_name) &&
           convert_optional_path(objects.ca_file, "ca_file", options.ca_file) &&
           convert_text_list(objects.http, "http", options.http) &&
           convert_optional_text(objects.http_status, "http_status", options.http_status) &&
           convert_optional_text(objects.http_expect, "http_expect", options.http_expect);
}

PyObject* probe_file(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"config_path",          "ping",           "resolve",
                                     "dns_server",           "handshake_timeout_ms", "ping_timeout_ms",
                                     "dns_timeout_ms",       "deadline_ms",    "ping_count",
                                     "ping_interval_ms",     "mtu_check",      "mtu",
                                     "tcp",                  "tcp_timeout_ms", "tls",
                                     "tls_server_name",      "ca_file",        "http",
                                     "http_status",          "http_expect",    nullptr};
    PyObject* config_path = nullptr;
    CommonObjects common;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OOOOOOOOOOOOOOOOOOO:probe_file", const_cast<char**>(keywords),
                                     &config_path, &common.ping, &common.resolve, &common.dns_server,
                                     &common.handshake_timeout_ms, &common.ping_timeout_ms,
                                     &common.dns_timeout_ms, &common.deadline_ms, &common.ping_count,
                                     &common.ping_interval_ms, &common.mtu_check, &common.mtu, &common.tcp,
                                     &common.tcp_timeout_ms, &common.tls, &common.tls_server_name, &common.ca_file,
                                     &common.http, &common.http_status, &common.http_expect)) {
        return nullptr;
    }
    std::string path;
    OptionTexts options;
    if (!convert_path(config_path, "config_path", path) || !convert_common(common, options)) return nullptr;
    return config_file_flow(std::move(path), std::move(options));
}

PyObject* probe_key_file(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"private_key_path",
                                     "peer_key",
                                     "endpoint",
                                     "address",
                                     "allowed_ips",
                                     "ping",
                                     "resolve",
                                     "dns_server",
                                     "handshake_timeout_ms",
                                     "ping_timeout_ms",
                                     "dns_timeout_ms",
                                     "deadline_ms",
                                     "ping_count",
                                     "ping_interval_ms",
                                     "mtu_check",
                                     "mtu",
                                     "tcp",
                                     "tcp_timeout_ms",
                                     "tls",
                                     "tls_server_name",
                                     "ca_file",
                                     "http",
                                     "http_status",
                                     "http_expect",
                                     "address6",
                                     nullptr};
    PyObject* private_key_path = nullptr;
    PyObject* peer_key = nullptr;
    PyObject* endpoint = nullptr;
    PyObject* address = nullptr;
    PyObject* allowed_ips = nullptr;
    PyObject* address6 = nullptr;
    CommonObjects common;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO|$OOOOOOOOOOOOOOOOOOOOOO:probe_key_file", const_cast<char**>(keywords),
                                     &private_key_path, &peer_key, &endpoint, &address, &allowed_ips, &common.ping,
                                     &common.resolve, &common.dns_server, &common.handshake_timeout_ms,
                                     &common.ping_timeout_ms, &common.dns_timeout_ms, &common.deadline_ms,
                                     &common.ping_count, &common.ping_interval_ms, &common.mtu_check,
                                     &common.mtu, &common.tcp, &common.tcp_timeout_ms, &common.tls,
                                     &common.tls_server_name, &common.ca_file, &common.http, &common.http_status,
                                     &common.http_expect, &address6)) {
        return nullptr;
    }
    std::string path;
    RawKeyTexts raw;
    OptionTexts options;
    if (!convert_path(private_key_path, "private_key_path", path) ||
        !convert_text(peer_key, "peer_key", raw.peer_key) || !convert_text(endpoint, "endpoint", raw.endpoint) ||
        !convert_optional_text(address, "address", raw.address) ||
        !convert_text_list(allowed_ips, "allowed_ips", raw.allowed_ips) ||
        !convert_optional_text(address6, "address6", raw.address6) || !convert_common(common, options)) {
        return nullptr;
    }
    return raw_key_flow(std::move(path), std::move(raw), std::move(options));
}

}  // namespace

// The docstrings are only text signatures ("--" and a blank line end them), so
// introspection shows the parameters and __doc__ reads as None.
PyMethodDef entry_functions[] = {
    {"probe_file", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(MemorySafe<probe_file>::call)),
     METH_VARARGS | METH_KEYWORDS,
     "probe_file(config_path, *, ping=(), resolve=(), dns_server=None, handshake_timeout_ms=3000, "
     "ping_timeout_ms=1000, dns_timeout_ms=2000, deadline_ms=9000, ping_count=1, ping_interval_ms=200, "
     "mtu_check=False, mtu=None, tcp=(), tcp_timeout_ms=3000, tls=(), tls_server_name=None, ca_file=None, "
     "http=(), http_status=None, http_expect=None)\n--\n\n"},
    {"probe_key_file", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(MemorySafe<probe_key_file>::call)),
     METH_VARARGS | METH_KEYWORDS,
     "probe_key_file(private_key_path, peer_key, endpoint, *, address=None, allowed_ips=(), ping=(), "
     "resolve=(), dns_server=None, handshake_timeout_ms=3000, ping_timeout_ms=1000, dns_timeout_ms=2000, "
     "deadline_ms=9000, ping_count=1, ping_interval_ms=200, mtu_check=False, mtu=None, tcp=(), "
     "tcp_timeout_ms=3000, tls=(), tls_server_name=None, ca_file=None, http=(), http_status=None, "
     "http_expect=None)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace quorlin::python
