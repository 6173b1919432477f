#include "responder.h"

#include <openssl/evp.h>

#include <memory>
#include <stdexcept>

#include "components/text/serializer.h"
#include "protocol/message.h"

namespace stub {
namespace {

std::string serialized(const orbl::out_serialize& out) {
    std::vector<char> bytes;
    out.append_to(bytes);
    return std::string(bytes.begin(), bytes.end());
}

// Bytes that are already encoded, handed to the frame as a payload writer.
class raw_payload : public orbl::serialize_base {
public:
    explicit raw_payload(const std::string& bytes) : bytes_(bytes) {}
    void append_to(std::vector<char>& buffer) const override {
        buffer.insert(buffer.end(), bytes_.begin(), bytes_.end());
    }
    std::size_t size() const override { return bytes_.size(); }

private:
    const std::string& bytes_;
};

// The digest of the three texts, each preceded by its length so that no
// two distinct triples run together.
std::string counter_key(const request& req) {
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("cannot compute a digest");
    for (const char* name : {"text1", "text2", "text3"}) {
        const field* f = req.find(name);
        const std::string empty;
        const std::string& text = f == nullptr ? empty : f->text;
        const std::uint64_t size = text.size();
        EVP_DigestUpdate(ctx.get(), &size, sizeof size);
        EVP_DigestUpdate(ctx.get(), text.data(), text.size());
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(ctx.get(), digest, &length);
    return std::string(reinterpret_cast<const char*>(digest), length);
}

}  // namespace

std::string make_frame(int type, const std::string& payload) {
    quel::Message message;
    message.write_header(type);
    message.set_data(raw_payload(payload));
    return std::string(message.bytes().begin(), message.bytes().end());
}

std::uint32_t responder::next_counter(const request& req) {
    return ++counters_[counter_key(req)];
}

std::string responder::reply_payload(const request& req, const reply_fields& fields) {
    orbl::out_serialize out;
    switch (req.type) {
    case quel::GetAutoInc: {
        const bool no_value = fields.no_value.value_or(false);
        out << no_value;
        if (!no_value) out << (fields.value ? *fields.value : next_counter(req));
        break;
    }
    case quel::CalcAutoInc:
        out << (fields.value ? *fields.value : next_counter(req));
        break;
    case quel::Lock: {
        const bool flag = fields.flag.value_or(true);
        out << flag;
        if (!flag) out << fields.text.value_or(std::string());
        break;
    }
    default: break;  // ExecSQL and SaveResult: an empty Reply
    }
    return serialized(out);
}

answer responder::respond(const request& req) {
    for (std::size_t i = 0; i < rules_.size(); ++i) {
        rule& r = rules_[i];
        if ((r.times && r.used >= *r.times) || !r.matches(req)) continue;
        ++r.used;
        answer a;
        a.what = r.what;
        a.delay_ms = r.delay_ms;
        a.then = r.then;
        a.rule = i + 1;
        if (r.what == action::reply) {
            a.bytes = make_frame(quel::Reply, reply_payload(req, r.reply));
        } else if (r.what == action::error) {
            orbl::out_serialize out;
            out << r.bytes;
            a.bytes = make_frame(quel::ErrorReply, serialized(out));
        } else if (r.what == action::raw) {
            a.bytes = r.bytes;
        }
        return a;
    }
    answer a;
    a.bytes = make_frame(quel::Reply, reply_payload(req, reply_fields()));
    return a;
}

answer responder::refuse(const std::string& text) {
    orbl::out_serialize out;
    out << text;
    answer a;
    a.what = action::error;
    a.bytes = make_frame(quel::ErrorReply, serialized(out));
    return a;
}

}  // namespace stub
