// The host's side of one clone session, played over the model.
#include "session_driver.h"

#include "sim_internal.h"

#include "host/host_codes.h"

#include <cstring>
#include <memory>

namespace sim {

int notify(int point, const char* part_name, void* data)
{
    // A callback may register or remove callbacks while it runs (an export
    // suspends the host's own ones): call those registered when the point
    // was reached.
    std::vector<host_clone_notify_cb> receivers;
    for (const registered_callback& cb : host().callbacks)
        if (cb.point == point && cb.callback != nullptr) receivers.push_back(cb.callback);
    int result = 0;
    for (host_clone_notify_cb callback : receivers) {
        const library_call_scope in_library;
        const int answer = callback(point, part_name, data);
        if (result == 0) result = answer;
    }
    return result;
}

namespace {

class session_player {
public:
    explicit session_player(const session_options& options) : options_(options) {}

    session_result play()
    {
        host_model& h = host();
        for (clone_part& part : h.parts) {
            part.new_name.reset();
            part.translate_status = -1;
        }
        run();
        result_.exit_result = send(kx::point_exit_clone, nullptr);
        return result_;
    }

private:
    // Every phase up to Exit_Clone; returns early when the session is refused.
    void run()
    {
        host_model& h = host();
        int operation_class = h.operation_class;
        if (send(kx::point_init_clone, nullptr, &operation_class) != 0) return refuse("Init_Clone");

        send(kx::point_assy_load, nullptr);
        for (std::size_t i = 0; i < h.parts.size(); ++i) {
            const std::string name = h.parts[i].name;
            send(kx::point_part_load, name.c_str());
        }
        send(kx::point_end_assy_load, nullptr);

        if (send(kx::point_begin_apply_defaults, nullptr) != 0) return refuse("Begin_Apply_Defaults");

        if (!translate_all()) return refuse("translation");

        const char* perform_name = options_.perform_point_name.empty() ? nullptr : options_.perform_point_name.c_str();
        if (send(kx::point_begin_perform, perform_name) != 0) return refuse("Begin_Perform");
        for (std::size_t i = 0; i < h.parts.size(); ++i) {
            if (h.parts[i].translate_status != 0) continue;
            if (options_.on_perform_part) options_.on_perform_part(h.parts[i]);
            // The model may have grown or moved under the hook.
            const std::string name = h.parts[i].name;
            send(kx::point_after_part, name.c_str());
        }
        send(kx::point_end_perform, perform_name);
    }

    bool translate_all()
    {
        host_model& h = host();
        for (std::size_t i = 0; i < h.parts.size(); ++i) {
            host_clone_trans_cb translator = h.translator;
            if (translator == nullptr) {
                // No user exit names the parts (an edit session): the host
                // keeps their names.
                h.parts[i].translate_status = 0;
                h.parts[i].new_name = h.parts[i].name;
                continue;
            }
            // Exactly the host's buffer size on the heap, so that a write past
            // it is caught by the address sanitizer.
            auto buffer = std::make_unique<char[]>(HOST_MAX_FSPEC_BUFSIZE);
            std::memset(buffer.get(), 0, HOST_MAX_FSPEC_BUFSIZE);
            const std::string part_name = h.parts[i].name;
            int status = 0;
            {
                const library_call_scope in_library;
                status = translator(part_name.c_str(), buffer.get());
            }
            clone_part& part = h.parts[i];
            part.translate_status = status;
            if (status != 0) return false;
            const std::size_t length = strnlen(buffer.get(), HOST_MAX_FSPEC_BUFSIZE);
            if (length == HOST_MAX_FSPEC_BUFSIZE)
                h.misuse.push_back("translation of " + part_name + ": new name not terminated within the buffer");
            part.new_name = std::string(buffer.get(), length);
        }
        return true;
    }

    int send(int point, const char* part_name, void* data = nullptr)
    {
        const int result = notify(point, part_name, data);
        result_.points.push_back(point_call{point, part_name != nullptr ? part_name : "", result});
        return result;
    }

    void refuse(const char* where)
    {
        result_.refused = true;
        result_.refused_at = where;
    }

    const session_options& options_;
    session_result result_;
};

}  // namespace

session_result play_session(const session_options& options)
{
    // The model may have been renamed in place since the last session.
    reindex();
    return session_player(options).play();
}

}  // namespace sim
