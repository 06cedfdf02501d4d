#include "request_framing.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace qpanel {

namespace {

// A chunk-size line: up to 8 hex digits and extensions, well below this.
constexpr size_t kChunkLineBytes = 1024;
// Chunk framing may add this much to the body's size on the wire (1-byte
// chunks take 6 bytes each, extensions a few more).
constexpr size_t kChunkOverheadFactor = 8;

bool equalsIgnoringCase(const char* a, size_t n, const char* b) {
  if (std::strlen(b) != n) return false;
  for (size_t i = 0; i < n; ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != b[i]) return false;
  return true;
}

// The text between first and last with blanks trimmed on both ends.
void trim(const char*& first, const char*& last) {
  while (first < last && (*first == ' ' || *first == '\t')) ++first;
  while (last > first && (last[-1] == ' ' || last[-1] == '\t')) --last;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The value of parameter `name` in a query ("a=1&token=abc"), or "".
std::string queryParameter(const std::string& query, const char* name) {
  const size_t n = std::strlen(name);
  size_t at = 0;
  while (at <= query.size()) {
    size_t end = query.find('&', at);
    if (end == std::string::npos) end = query.size();
    if (end - at > n && query.compare(at, n, name) == 0 && query[at + n] == '=')
      return query.substr(at + n + 1, end - at - n - 1);
    at = end + 1;
  }
  return "";
}

}  // namespace

RequestFramer::RequestFramer(FramingLimits limits) : limits_(limits) {}

void RequestFramer::reset() { *this = RequestFramer(limits_); }

RequestFramer::Result RequestFramer::refuse(int status, const char* message) {
  refusalStatus_ = status;
  refusalMessage_ = message;
  return Result::Refused;
}

RequestFramer::Result RequestFramer::scan(const char* data, size_t size) {
  if (refusalStatus_ != 0) return Result::Refused;
  if (phase_ == Phase::Done) return Result::Complete;
  if (phase_ == Phase::Head) {
    // Every line of the head ends with CRLF; the head ends with an empty line.
    // Only the first headBytes bytes are looked at, however many arrived.
    const size_t limit = std::min(size, limits_.headBytes);
    size_t headEnd = 0;
    for (size_t i = scanned_; i < limit; ++i) {
      if (data[i] != '\n') continue;
      if (i == 0 || data[i - 1] != '\r')
        return refuse(400, "A request line or header line must end with CRLF.");
      if (i >= 3 && data[i - 2] == '\n' && data[i - 3] == '\r') {
        headEnd = i + 1;
        break;
      }
    }
    if (headEnd == 0) {
      scanned_ = limit;
      if (size > limits_.headBytes) return refuse(431, "The request's header is too large.");
      return Result::NeedMore;
    }
    const Result head = parseHead(data, headEnd);
    if (head != Result::NeedMore) return head;
  }
  if (phase_ == Phase::LengthBody) {
    if (size - bodyStart_ < contentLength_) return Result::NeedMore;
    requestBytes_ = bodyStart_ + contentLength_;
    phase_ = Phase::Done;
    return Result::Complete;
  }
  return scanChunks(data, size);
}

RequestFramer::Result RequestFramer::parseHead(const char* data, size_t headEnd) {
  // Request line: METHOD SP target SP HTTP/x.y
  const char* line = data;
  const char* lineEnd = static_cast<const char*>(std::memchr(data, '\r', headEnd));
  if (lineEnd[1] != '\n') return refuse(400, "Malformed request line.");
  const char* space1 = static_cast<const char*>(std::memchr(line, ' ', lineEnd - line));
  const char* space2 =
      space1 ? static_cast<const char*>(std::memchr(space1 + 1, ' ', lineEnd - space1 - 1))
             : nullptr;
  if (space1 == nullptr || space2 == nullptr || space1 == line || space2 == space1 + 1 ||
      lineEnd - space2 < 9 || std::strncmp(space2 + 1, "HTTP/1.", 7) != 0)
    return refuse(400, "Malformed request line.");
  method_.assign(line, space1);
  const std::string target(space1 + 1, space2);
  const size_t query = target.find('?');
  path_ = target.substr(0, query);
  const std::string queryText = query == std::string::npos ? "" : target.substr(query + 1);

  bool haveLength = false, chunked = false;
  std::string headerToken;
  const char* p = lineEnd + 2;
  const char* end = data + headEnd - 2;  // before the empty line
  while (p < end) {
    const char* eol = static_cast<const char*>(std::memchr(p, '\r', end - p));
    if (eol == nullptr || eol[1] != '\n') return refuse(400, "Malformed header line.");
    if (*p == ' ' || *p == '\t') return refuse(400, "Folded header lines are not accepted.");
    const char* colon = static_cast<const char*>(std::memchr(p, ':', eol - p));
    if (colon == nullptr || colon == p || colon[-1] == ' ' || colon[-1] == '\t')
      return refuse(400, "Malformed header line.");
    const size_t nameLength = static_cast<size_t>(colon - p);
    const char* value = colon + 1;
    const char* valueEnd = eol;
    trim(value, valueEnd);
    const size_t valueLength = static_cast<size_t>(valueEnd - value);
    if (equalsIgnoringCase(p, nameLength, "content-length")) {
      if (haveLength) return refuse(400, "A request may carry one Content-Length.");
      if (valueLength == 0 || valueLength > 18) return refuse(400, "Malformed Content-Length.");
      size_t length = 0;
      for (const char* d = value; d < valueEnd; ++d) {
        if (*d < '0' || *d > '9') return refuse(400, "Malformed Content-Length.");
        length = length * 10 + static_cast<size_t>(*d - '0');
      }
      haveLength = true;
      contentLength_ = length;
    } else if (equalsIgnoringCase(p, nameLength, "transfer-encoding")) {
      if (chunked || !equalsIgnoringCase(value, valueLength, "chunked"))
        return refuse(501, "Only the chunked transfer coding is accepted, once.");
      chunked = true;
    } else if (equalsIgnoringCase(p, nameLength, "content-encoding")) {
      if (!equalsIgnoringCase(value, valueLength, "identity"))
        return refuse(415, "Compressed request bodies are not accepted.");
    } else if (equalsIgnoringCase(p, nameLength, "expect")) {
      return refuse(417, "Expect is not supported: send the body with the request.");
    } else if (equalsIgnoringCase(p, nameLength, "x-panel-token")) {
      headerToken.assign(value, valueEnd);
    }
    p = eol + 2;
  }
  token_ = !headerToken.empty() ? headerToken : queryParameter(queryText, "token");
  bodyStart_ = headEnd;
  scanned_ = headEnd;
  if (chunked && haveLength)
    return refuse(400, "A request may not carry both Content-Length and Transfer-Encoding.");
  if (haveLength && contentLength_ > limits_.bodyBytes)
    return refuse(413, "The request body is too large.");
  phase_ = chunked ? Phase::ChunkSize : Phase::LengthBody;
  if (!chunked && !haveLength) contentLength_ = 0;
  return Result::NeedMore;
}

RequestFramer::Result RequestFramer::scanChunks(const char* data, size_t size) {
  auto tooLong = [&] {
    return scanned_ - bodyStart_ > kChunkOverheadFactor * limits_.bodyBytes + kChunkLineBytes;
  };
  for (;;) {
    if (tooLong()) return refuse(413, "The request body is too large.");
    switch (phase_) {
      case Phase::ChunkSize: {
        size_t eol = scanned_;
        while (eol < size && data[eol] != '\n') ++eol;
        if (eol == size) {
          if (size - scanned_ > kChunkLineBytes) return refuse(400, "Malformed chunk size.");
          return Result::NeedMore;
        }
        if (eol == scanned_ || data[eol - 1] != '\r' || eol - scanned_ > kChunkLineBytes)
          return refuse(400, "Malformed chunk size.");
        size_t digits = 0, chunk = 0;
        for (size_t i = scanned_; i < eol - 1 && hexValue(data[i]) >= 0; ++i, ++digits)
          chunk = chunk * 16 + static_cast<size_t>(hexValue(data[i]));
        const size_t after = scanned_ + digits;
        if (digits == 0 || digits > 8 || (after != eol - 1 && data[after] != ';'))
          return refuse(400, "Malformed chunk size.");
        if (std::memchr(data + after, '\r', eol - 1 - after) != nullptr)
          return refuse(400, "Malformed chunk size.");
        if (chunk > limits_.bodyBytes - bodyDecoded_)
          return refuse(413, "The request body is too large.");
        scanned_ = eol + 1;
        chunkLeft_ = chunk;
        phase_ = chunk == 0 ? Phase::LastChunkEnd : Phase::ChunkData;
        break;
      }
      case Phase::ChunkData: {
        const size_t take = std::min(chunkLeft_, size - scanned_);
        scanned_ += take;
        chunkLeft_ -= take;
        bodyDecoded_ += take;
        if (chunkLeft_ > 0)
          return tooLong() ? refuse(413, "The request body is too large.") : Result::NeedMore;
        phase_ = Phase::ChunkDataEnd;
        break;
      }
      case Phase::ChunkDataEnd:
      case Phase::LastChunkEnd: {
        if (size - scanned_ < 2) return Result::NeedMore;
        if (data[scanned_] != '\r' || data[scanned_ + 1] != '\n')
          return refuse(400, phase_ == Phase::LastChunkEnd
                                 ? "Chunk trailers are not accepted."
                                 : "Malformed chunk: CRLF expected after its data.");
        scanned_ += 2;
        if (phase_ == Phase::ChunkDataEnd) {
          phase_ = Phase::ChunkSize;
          break;
        }
        phase_ = Phase::Done;
        requestBytes_ = scanned_;
        return Result::Complete;
      }
      default:
        return Result::Complete;
    }
  }
}

}  // namespace qpanel
