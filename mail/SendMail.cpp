#include "mail/SendMail.h"

#include <curl/curl.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "util/Strings.h"

namespace tarn {
namespace {

constexpr const char* kDisplayName = "Automated Systems";

// A header value is one line: a CR or LF inside it would start a header of the caller's
// choosing (or end the header block).
std::string HeaderSafe(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (char c : s) {
    if (c != '\r' && c != '\n') out += c;
  }
  return out;
}

// A header text as it may stand in a header: as it is when plain ASCII, otherwise one
// encoded word per piece of at most 45 bytes, never cutting a UTF-8 character
// ("=?UTF-8?B?...?=", folded onto continuation lines).
std::string EncodedWord(const std::string& text) {
  if (IsAscii(text)) return text;
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::string_view rest = text;
  while (!rest.empty()) {
    std::string piece = Utf8Prefix(rest, 45);
    if (piece.empty()) piece = std::string(rest.substr(0, 1));  // not UTF-8: pass the byte on
    rest.remove_prefix(piece.size());
    std::string b64;
    for (size_t i = 0; i < piece.size(); i += 3) {
      uint32_t v = static_cast<uint32_t>(static_cast<unsigned char>(piece[i])) << 16;
      if (i + 1 < piece.size()) v |= static_cast<uint32_t>(static_cast<unsigned char>(piece[i + 1])) << 8;
      if (i + 2 < piece.size()) v |= static_cast<unsigned char>(piece[i + 2]);
      b64 += kAlphabet[(v >> 18) & 63];
      b64 += kAlphabet[(v >> 12) & 63];
      b64 += i + 1 < piece.size() ? kAlphabet[(v >> 6) & 63] : '=';
      b64 += i + 2 < piece.size() ? kAlphabet[v & 63] : '=';
    }
    if (!out.empty()) out += "\r\n ";
    out += "=?UTF-8?B?" + b64 + "?=";
  }
  return out;
}

std::vector<std::string> Addresses(const std::string& list) {
  std::vector<std::string> out;
  for (const std::string& a : SplitCommaText(list)) {
    std::string clean = HeaderSafe(a);
    if (!clean.empty()) out.push_back(clean);
  }
  return out;
}

std::string Join(const std::vector<std::string>& items, const char* sep) {
  std::string out;
  for (const std::string& s : items) {
    if (!out.empty()) out += sep;
    out += s;
  }
  return out;
}

std::string DateHeader() {
  char buf[64] = {};
  const std::time_t t = std::time(nullptr);
  std::tm tm{};
  localtime_r(&t, &tm);
  std::strftime(buf, sizeof buf, "%a, %d %b %Y %H:%M:%S %z", &tm);
  return buf;
}

void InitCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct CurlDeleter {
  void operator()(CURL* c) const noexcept { curl_easy_cleanup(c); }
};
struct SlistDeleter {
  void operator()(curl_slist* l) const noexcept { curl_slist_free_all(l); }
};
struct MimeDeleter {
  void operator()(curl_mime* m) const noexcept { curl_mime_free(m); }
};
using CurlPtr = std::unique_ptr<CURL, CurlDeleter>;
using SlistPtr = std::unique_ptr<curl_slist, SlistDeleter>;
using MimePtr = std::unique_ptr<curl_mime, MimeDeleter>;

void Append(SlistPtr& list, const std::string& line) {
  curl_slist* next = curl_slist_append(list.get(), line.c_str());
  if (!next) throw std::runtime_error("Out of memory");
  list.release();
  list.reset(next);
}

// The message text read by curl for a message without file part.
struct Upload {
  std::string text;
  size_t pos = 0;
};

size_t ReadUpload(char* buffer, size_t size, size_t count, void* user) {
  auto* up = static_cast<Upload*>(user);
  const size_t n = std::min(size * count, up->text.size() - up->pos);
  std::memcpy(buffer, up->text.data() + up->pos, n);
  up->pos += n;
  return n;
}

// Removes the attachment once the message is done with, as a temporary file, whatever the
// outcome of sending.
struct TemporaryFile {
  std::string path;
  ~TemporaryFile() {
    if (!path.empty()) {
      std::error_code ec;
      std::filesystem::remove(path, ec);
    }
  }
};

void Check(CURLcode code, const char* errorBuffer) {
  if (code == CURLE_OK) return;
  throw std::runtime_error(errorBuffer[0] ? errorBuffer : curl_easy_strerror(code));
}

}  // namespace

void SendMail(const std::string& user, const std::string& host, int port, const std::string& fromAddress,
              const std::string& toList, const std::string& bccList, const std::string& subject,
              const std::string& bodyText, const std::string& attachmentFile, std::string& status) {
  const std::vector<std::string> to = Addresses(toList);
  if (to.empty()) {
    status = "No one to send to!";
    return;
  }
  const std::vector<std::string> bcc = Addresses(bccList);
  status = "Sent";
  try {
    InitCurlOnce();
    TemporaryFile temporary{attachmentFile};
    CurlPtr curl(curl_easy_init());
    if (!curl) throw std::runtime_error("Could not create the mail client");
    char errorBuffer[CURL_ERROR_SIZE] = {};
    CURL* c = curl.get();
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    const std::string url = "smtp://" + HeaderSafe(host) + ":" + std::to_string(port);
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, kMailConnectTimeoutSeconds);
    curl_easy_setopt(c, CURLOPT_TIMEOUT, kMailTimeoutSeconds);
    curl_easy_setopt(c, CURLOPT_FORBID_REUSE, 1L);
    curl_easy_setopt(c, CURLOPT_FRESH_CONNECT, 1L);
    if (!user.empty()) curl_easy_setopt(c, CURLOPT_USERNAME, user.c_str());

    const std::string from = HeaderSafe(fromAddress);
    const std::string envelopeFrom = "<" + from + ">";
    curl_easy_setopt(c, CURLOPT_MAIL_FROM, envelopeFrom.c_str());
    SlistPtr recipients;
    for (const std::string& a : to) Append(recipients, "<" + a + ">");
    for (const std::string& a : bcc) Append(recipients, "<" + a + ">");
    curl_easy_setopt(c, CURLOPT_MAIL_RCPT, recipients.get());

    SlistPtr headers;
    Append(headers, "Date: " + DateHeader());
    Append(headers, std::string("From: \"") + kDisplayName + "\" <" + from + ">");
    Append(headers, "Reply-To: " + from);
    Append(headers, "To: " + Join(to, ", "));
    Append(headers, "Subject: " + EncodedWord(HeaderSafe(subject)));
    Append(headers, "X-Priority: 3");
    Append(headers, "MIME-Version: 1.0");

    // The body is one line; line breaks inside it are sent as proper CR LF pairs.
    std::string body = ReplaceAll(ReplaceAll(bodyText, "\r\n", "\n"), "\r", "\n");
    body = ReplaceAll(body, "\n", "\r\n");
    if (!body.empty()) body += "\r\n";

    Upload upload;
    MimePtr mime;
    if (attachmentFile.empty()) {
      std::string text;
      for (const curl_slist* h = headers.get(); h; h = h->next) text += std::string(h->data) + "\r\n";
      text += "Content-Type: text/plain; charset=utf-8\r\n";
      text += "Content-Transfer-Encoding: 8bit\r\n\r\n";
      text += body;
      upload.text = std::move(text);
      curl_easy_setopt(c, CURLOPT_READFUNCTION, ReadUpload);
      curl_easy_setopt(c, CURLOPT_READDATA, &upload);
      curl_easy_setopt(c, CURLOPT_UPLOAD, 1L);
    } else {
      // A message with a file part is multipart/mixed: the body line first, then the file.
      mime.reset(curl_mime_init(c));
      if (!mime) throw std::runtime_error("Could not compose the message");
      if (!body.empty()) {
        curl_mimepart* text = curl_mime_addpart(mime.get());
        Check(curl_mime_data(text, body.c_str(), CURL_ZERO_TERMINATED), errorBuffer);
        Check(curl_mime_type(text, "text/plain; charset=utf-8"), errorBuffer);
        Check(curl_mime_encoder(text, "8bit"), errorBuffer);
      }
      curl_mimepart* file = curl_mime_addpart(mime.get());
      Check(curl_mime_filedata(file, attachmentFile.c_str()), errorBuffer);
      Check(curl_mime_encoder(file, "base64"), errorBuffer);
      const std::string name = HeaderSafe(std::filesystem::path(attachmentFile).filename().string());
      SlistPtr partHeaders;
      Append(partHeaders, "Content-Disposition: inline; filename=\"" + ReplaceAll(name, "\"", "") + "\"");
      Check(curl_mime_headers(file, partHeaders.get(), 1), errorBuffer);
      partHeaders.release();  // owned by the part now
      curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
      curl_easy_setopt(c, CURLOPT_MIMEPOST, mime.get());
    }
    Check(curl_easy_perform(c), errorBuffer);
  } catch (const std::exception& e) {
    status = e.what();
  } catch (...) {
    status = "Unknown mail error";
  }
}

}  // namespace tarn
