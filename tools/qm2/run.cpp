#include "run.h"

#include <algorithm>
#include <cmath>

namespace qm2 {
namespace {

output flag_output(const char* name, bool value) {
    output o;
    o.name = name;
    o.what = output::kind::flag;
    o.flag = value;
    return o;
}

output number_output(const char* name, std::uint32_t value) {
    output o;
    o.name = name;
    o.what = output::kind::number;
    o.number = value;
    return o;
}

output text_output(const char* name, std::string value) {
    output o;
    o.name = name;
    o.text = std::move(value);
    return o;
}

bool run_lock(const api& exports, const options& opt, call_result& r) {
    bool lock_result = false;
    std::vector<char> text(text_buffer_length + 1, '\0');
    const bool ok = exports.lock(opt.texts[0].c_str(), opt.texts[1].c_str(), opt.lock_mode,
                                 opt.texts[2].c_str(), opt.number, &lock_result, text.data(),
                                 text_buffer_length);
    if (!ok) return false;
    r.outputs.push_back(flag_output("lock_result", lock_result));
    // The library writes a text only in mode 0 when the lock was refused.
    if (opt.lock_mode == 0 && !lock_result) r.outputs.push_back(text_output("text", text.data()));
    return true;
}

}  // namespace

std::string last_error(const api& exports) {
    std::vector<char> buffer(text_buffer_length + 1, '\0');
    if (!exports.last_error(buffer.data(), text_buffer_length)) return std::string();
    return buffer.data();
}

call_result call_once(const api& exports, const options& opt) {
    call_result r;
    const auto& t = opt.texts;
    switch (opt.what) {
    case command::exec:
        r.ok = exports.exec_sql(t[0].c_str(), t[1].c_str(), t[2].c_str());
        break;
    case command::get_auto_inc: {
        bool no_value = false;
        unsigned int value = 0;
        r.ok = exports.get_auto_inc(t[0].c_str(), t[1].c_str(), t[2].c_str(), &no_value, &value);
        if (r.ok) {
            r.outputs.push_back(flag_output("no_value", no_value));
            r.outputs.push_back(number_output("value", value));
        }
        break;
    }
    case command::calc_auto_inc: {
        unsigned int value = 0;
        r.ok = exports.calc_auto_inc(t[0].c_str(), t[1].c_str(), t[2].c_str(), t[3].c_str(), &value);
        if (r.ok) r.outputs.push_back(number_output("value", value));
        break;
    }
    case command::save_result:
        r.ok = exports.save_result(t[0].c_str(), t[1].c_str(), t[2].c_str(), t[3].c_str(),
                                   t[4].c_str());
        break;
    case command::lock:
        r.ok = run_lock(exports, opt, r);
        break;
    }
    if (!r.ok) r.error = last_error(exports);
    return r;
}

latency summarize(std::vector<double> samples_ms) {
    latency l;
    if (samples_ms.empty()) return l;
    std::sort(samples_ms.begin(), samples_ms.end());
    const auto rank = [&](double p) {
        // Nearest rank: the smallest sample with at least p of all samples
        // at or below it.
        std::size_t k = static_cast<std::size_t>(std::ceil(p * samples_ms.size()));
        if (k == 0) k = 1;
        return samples_ms[std::min(k, samples_ms.size()) - 1];
    };
    l.min_ms = samples_ms.front();
    l.median_ms = rank(0.5);
    l.p99_ms = rank(0.99);
    l.max_ms = samples_ms.back();
    return l;
}

}  // namespace qm2
