#include "link/TlsClient.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/TextFormat.h"

namespace rs232 {

namespace {

// Where systemd's LoadCredential= puts the service's credentials.
constexpr const char* kCredentialsVariable = "CREDENTIALS_DIRECTORY";

using FilePtr = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

// A [TLS] file opened for reading: a credential of the service, or a path. shown names it for
// the operator. Null, with why, when it cannot be opened.
struct STlsFile {
    FilePtr file{nullptr, std::fclose};
    std::string shown;
    bool credential = false;
};

STlsFile OpenTlsFile(const char* key, const std::string& name, std::string& why) {
    STlsFile f;
    const char* dir = std::getenv(kCredentialsVariable);
    f.credential = dir && *dir && name.find('/') == std::string::npos;
    const std::string path = f.credential ? std::string(dir) + "/" + name : name;
    f.shown = std::string("[TLS] ") + key + "=" + name + (f.credential ? " (" + path + ")" : "");
    f.file.reset(std::fopen(path.c_str(), "re"));
    if (!f.file) why = "cannot read " + f.shown + ": " + std::strerror(errno);
    return f;
}

// Never a prompt on the terminal: a key protected by a pass phrase is one that cannot be read.
int NoPassPhrase(char*, int, int, void*) { return -1; }

std::string OpenSslReason() {
    const unsigned long code = ERR_peek_last_error();
    const char* reason = code ? ERR_reason_error_string(code) : nullptr;
    return reason ? reason : "no further reason given";
}

// The socket under TLS, written with MSG_NOSIGNAL: a far end gone is an error, never a SIGPIPE.
struct SSocket {
    int fd = -1;
    bool eof = false;
};

int SocketWrite(BIO* bio, const char* data, int size) {
    auto* socket = static_cast<SSocket*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    const ssize_t n = ::send(socket->fd, data, static_cast<size_t>(size), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) BIO_set_retry_write(bio);
    return static_cast<int>(n);
}

int SocketRead(BIO* bio, char* buffer, int size) {
    auto* socket = static_cast<SSocket*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    const ssize_t n = ::recv(socket->fd, buffer, static_cast<size_t>(size), MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) BIO_set_retry_read(bio);
    if (n == 0) socket->eof = true;
    return static_cast<int>(n);
}

long SocketControl(BIO* bio, int command, long, void*) {
    if (command == BIO_CTRL_FLUSH) return 1;
    if (command == BIO_CTRL_EOF) return static_cast<SSocket*>(BIO_get_data(bio))->eof;
    return 0;
}

const BIO_METHOD* SocketMethod() {
    static BIO_METHOD* method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "rs232 socket");
        BIO_meth_set_write(m, SocketWrite);
        BIO_meth_set_read(m, SocketRead);
        BIO_meth_set_ctrl(m, SocketControl);
        return m;
    }();
    return method;
}

// Alerts that the far end sends about this end's certificate.
bool CertificateAlert(int reason) {
    const int alert = reason - SSL_AD_REASON_OFFSET;
    return alert == SSL_AD_BAD_CERTIFICATE || alert == SSL_AD_UNSUPPORTED_CERTIFICATE ||
           alert == SSL_AD_CERTIFICATE_REVOKED || alert == SSL_AD_CERTIFICATE_EXPIRED ||
           alert == SSL_AD_CERTIFICATE_UNKNOWN || alert == SSL_AD_UNKNOWN_CA ||
           alert == SSL_AD_ACCESS_DENIED || alert == SSL_AD_CERTIFICATE_REQUIRED ||
           alert == SSL_AD_HANDSHAKE_FAILURE;
}

}  // namespace

struct CTlsClient::SState {
    SSL_CTX* context = nullptr;
    SSL* ssl = nullptr;
    SSocket socket;
    std::string caShown;
    std::string host;
    short readWants = POLLIN, writeWants = POLLOUT;

    ~SState() {
        SSL_free(ssl);
        SSL_CTX_free(context);
    }

    // Why the handshake or the connection failed, after an SSL call returned `result`.
    std::string Describe(int result) const {
        const long verify = SSL_get_verify_result(ssl);
        if (verify != X509_V_OK) {
            const std::string text = X509_verify_cert_error_string(verify);
            if (verify == X509_V_ERR_HOSTNAME_MISMATCH || verify == X509_V_ERR_IP_ADDRESS_MISMATCH)
                return "the terminal server's certificate is not for " + host + " (" + text + ")";
            if (verify == X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY ||
                verify == X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE ||
                verify == X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT ||
                verify == X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN)
                return "the terminal server's certificate is not signed by the CA of " + caShown +
                       " (" + text + ")";
            return "the terminal server's certificate is refused: " + text;
        }
        const int error = SSL_get_error(ssl, result);
        const unsigned long code = ERR_peek_last_error();
        if (code == 0 || error == SSL_ERROR_ZERO_RETURN)
            return SSL_is_init_finished(ssl) ? "the TLS connection failed"
                                             : "the far end closed the connection during the TLS "
                                               "handshake";
        const int reason = ERR_GET_REASON(code);
        const std::string text = OpenSslReason();
        if (ERR_GET_LIB(code) == ERR_LIB_SSL) {
            if (reason == SSL_R_WRONG_VERSION_NUMBER || reason == SSL_R_UNKNOWN_PROTOCOL ||
                reason == SSL_R_PACKET_LENGTH_TOO_LONG || reason == SSL_R_RECORD_LENGTH_MISMATCH)
                return "the far end does not speak TLS (" + text +
                       "): a port without TLS wants tcp:// or rfc2217://";
            if (CertificateAlert(reason))
                return "the terminal server refused this end's certificate (" + text +
                       "): client certificate missing or refused";
            if (reason > SSL_AD_REASON_OFFSET)
                return "the terminal server ended the TLS connection (" + text + ")";
        }
        return "TLS failed: " + text;
    }
};

CTlsClient::CTlsClient() : m_state(std::make_unique<SState>()) {}

CTlsClient::~CTlsClient() = default;

bool CTlsClient::Load(const STlsFiles& files, std::string& why) {
    if (files.ca.empty()) {
        why = "[TLS] CA is not set: a +tls:// line needs the CA that signed the terminal server's "
              "certificate";
        return false;
    }
    if (files.cert.empty() != files.key.empty()) {
        why = "[TLS] CERT and KEY go together: only one of them is set";
        return false;
    }
    ERR_clear_error();
    SSL_CTX* context = m_state->context = SSL_CTX_new(TLS_client_method());
    if (!context || !SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION)) {
        why = "TLS cannot be set up: " + OpenSslReason();
        return false;
    }
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    // A far end that closes without the closing alert has closed; that is no failure here.
    SSL_CTX_set_options(context, SSL_OP_IGNORE_UNEXPECTED_EOF);
    SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);

    STlsFile ca = OpenTlsFile("CA", files.ca, why);
    if (!ca.file) return false;
    m_state->caShown = ca.shown;
    int certificates = 0;
    X509_STORE* store = SSL_CTX_get_cert_store(context);
    while (X509* x = PEM_read_X509(ca.file.get(), nullptr, NoPassPhrase, nullptr)) {
        certificates += X509_STORE_add_cert(store, x);
        X509_free(x);
    }
    if (certificates == 0) {
        why = ca.shown + " holds no certificate (PEM)";
        return false;
    }
    if (files.cert.empty()) return true;

    STlsFile cert = OpenTlsFile("CERT", files.cert, why);
    if (!cert.file) return false;
    X509* own = PEM_read_X509(cert.file.get(), nullptr, NoPassPhrase, nullptr);
    const bool used = own && SSL_CTX_use_certificate(context, own) == 1;
    X509_free(own);
    if (!used) {
        why = cert.shown + " holds no certificate (PEM): " + OpenSslReason();
        return false;
    }
    // The certificates after it: the chain up to the CA.
    while (X509* x = PEM_read_X509(cert.file.get(), nullptr, NoPassPhrase, nullptr))
        if (!SSL_CTX_add0_chain_cert(context, x)) X509_free(x);

    STlsFile key = OpenTlsFile("KEY", files.key, why);
    if (!key.file) return false;
    struct stat st{};
    if (!key.credential && ::fstat(::fileno(key.file.get()), &st) == 0 && (st.st_mode & 077) != 0) {
        why = FormatText("%s may be read by others than its owner (mode %04o): the key must be "
                         "its owner's alone (chmod 600)",
                         key.shown.c_str(), static_cast<unsigned>(st.st_mode & 07777));
        return false;
    }
    EVP_PKEY* pkey = PEM_read_PrivateKey(key.file.get(), nullptr, NoPassPhrase, nullptr);
    const bool taken = pkey && SSL_CTX_use_PrivateKey(context, pkey) == 1;
    EVP_PKEY_free(pkey);
    if (!taken) {
        why = key.shown + " holds no private key (PEM, without a pass phrase): " + OpenSslReason();
        return false;
    }
    if (SSL_CTX_check_private_key(context) != 1) {
        why = key.shown + " is not the key of " + cert.shown;
        return false;
    }
    return true;
}

bool CTlsClient::Handshake(int fd, const std::string& host, Clock::time_point deadline,
                           std::string& why) {
    SState& s = *m_state;
    s.host = host;
    s.socket = {fd, false};
    s.ssl = SSL_new(s.context);
    BIO* bio = BIO_new(SocketMethod());
    if (!s.ssl || !bio) {
        BIO_free(bio);
        why = "TLS cannot be set up: " + OpenSslReason();
        return false;
    }
    BIO_set_data(bio, &s.socket);
    BIO_set_init(bio, 1);
    SSL_set_bio(s.ssl, bio, bio);
    // The certificate must name the URL's host: its address, else its name (also sent, SNI).
    X509_VERIFY_PARAM* param = SSL_get0_param(s.ssl);
    if (X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str()) != 1) {
        X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        X509_VERIFY_PARAM_set1_host(param, host.c_str(), 0);
        SSL_set_tlsext_host_name(s.ssl, host.c_str());
    }
    for (;;) {
        ERR_clear_error();
        const int result = SSL_connect(s.ssl);
        if (result == 1) return true;
        const int error = SSL_get_error(s.ssl, result);
        if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) {
            why = s.Describe(result);
            return false;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd pfd{fd, static_cast<short>(error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT), 0};
        int ready;
        do {
            ready = left > 0 ? ::poll(&pfd, 1, static_cast<int>(left)) : 0;
        } while (ready < 0 && errno == EINTR);
        if (ready == 0) {
            why.clear();  // the caller names the time limit
            return false;
        }
    }
}

ssize_t CTlsClient::Receive(void* buffer, size_t size) {
    ERR_clear_error();
    const int result = SSL_read(m_state->ssl, buffer, static_cast<int>(size));
    return result > 0 ? result : Stopped(result, m_state->readWants);
}

ssize_t CTlsClient::Send(const void* data, size_t size) {
    ERR_clear_error();
    const int result = SSL_write(m_state->ssl, data, static_cast<int>(size));
    if (result > 0) return result;
    const ssize_t stopped = Stopped(result, m_state->writeWants);
    if (stopped == 0) errno = EPIPE;  // closed: nothing more goes out
    return stopped == 0 ? -1 : stopped;
}

ssize_t CTlsClient::Stopped(int result, short& wants) {
    const int error = SSL_get_error(m_state->ssl, result);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
        wants = error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT;
        errno = EAGAIN;
        return -1;
    }
    if (error == SSL_ERROR_ZERO_RETURN) return 0;
    if (error == SSL_ERROR_SYSCALL) {  // the socket failed; errno says how
        if (errno == 0) errno = ECONNRESET;
        return -1;
    }
    m_failure = m_state->Describe(result);
    errno = EPROTO;
    return -1;
}

short CTlsClient::PollEvents(short direction) const {
    return direction == POLLIN ? m_state->readWants : m_state->writeWants;
}

void CTlsClient::Shutdown() {
    if (m_state->ssl && SSL_is_init_finished(m_state->ssl)) SSL_shutdown(m_state->ssl);
}

}  // namespace rs232
