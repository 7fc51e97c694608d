#include "runner/script_player.h"

#include "runner/control_registration.h"
#include "runner/excerpt.h"
#include "runner/hosted_viewer.h"
#include "runner/saved_file.h"
#include "viewer/text_to_number.h"

#include <cstdio>
#include <optional>

namespace {
constexpr char driver_class[] = "QueltoRunnerDriver";
constexpr UINT next_step_message = WM_APP;
constexpr UINT_PTR wait_timer = 1;
// Stands in for a script line on the End that the runner adds.
constexpr char runner_origin[] = "runner";

class script_player {
public:
    script_player(const plugin_host& host, const std::vector<script_step>& steps, host_window* window,
                  const play_options& options)
        : host_(host), steps_(steps), window_(window), options_(options),
          init_number_(action_number(host.actions(), "Init")), end_number_(action_number(host.actions(), "End")),
          save_image_number_(action_number(host.actions(), "SaveImage")) {}
    ~script_player() {
        if (window_) window_->on_closed(nullptr);
        if (driver_) DestroyWindow(driver_);
    }
    script_player(const script_player&) = delete;
    script_player& operator=(const script_player&) = delete;

    play_result play();

private:
    static LRESULT CALLBACK driver_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

    void continue_soon() { PostMessageA(driver_, next_step_message, 0, 0); }
    void next_step();
    void wait(const script_step& step);
    play_result::outcome run_action(std::int32_t number, const std::string& parameter, const std::string& origin);
    void warn_about_the_control();
    bool viewer_came_up();
    void report_viewer_messages(const std::string& origin);
    void stop(play_result::outcome outcome);
    void window_closed();
    void check_finished();
    bool holding() const { return options_.hold && window_ && !window_->closed(); }

    const plugin_host& host_;
    const std::vector<script_step>& steps_;
    host_window* window_;
    play_options options_;
    std::int32_t init_number_;
    std::int32_t end_number_;
    std::int32_t save_image_number_;

    HWND driver_ = nullptr;
    std::size_t next_ = 0;
    int inits_running_ = 0;  // Init calls that have not returned: the viewer is up
    bool timer_pending_ = false;
    bool script_over_ = false;
    bool finished_ = false;
    bool control_looked_for_ = false;
    bool control_unusable_ = false;  // the registration cannot give a control (warned before Init)
    // The rectangle the latest Init put the viewer in, and whether the runner
    // has yet to see that a viewer came up there.
    HWND viewer_rectangle_ = nullptr;
    std::string init_parameter_;
    std::string init_origin_;
    bool viewer_check_pending_ = false;
    double messages_seen_ = 0;
    play_result result_;
};

play_result script_player::play() {
    WNDCLASSEXA window_class = {};
    window_class.cbSize = sizeof window_class;
    window_class.lpfnWndProc = driver_procedure;
    window_class.hInstance = GetModuleHandleA(nullptr);
    window_class.lpszClassName = driver_class;
    if (!RegisterClassExA(&window_class) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
        return {play_result::outcome::failed, steps_.size(),
                "cannot register the runner's window class: " + windows_error_text(GetLastError())};
    }
    // Message-only: it only receives what the player posts to itself.
    driver_ = CreateWindowExA(0, driver_class, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                              GetModuleHandleA(nullptr), this);
    if (!driver_) {
        return {play_result::outcome::failed, steps_.size(),
                "cannot create the runner's window: " + windows_error_text(GetLastError())};
    }
    if (window_) window_->on_closed([this] { window_closed(); });

    continue_soon();
    while (!finished_) {
        MSG message;
        // WM_QUIT is passed on like any other message, as the plug-in's own
        // loop does: only the script and the window decide when this ends.
        if (GetMessageA(&message, nullptr, 0, 0) == -1) {
            return {play_result::outcome::failed, steps_.size() - next_,
                    "cannot take messages: " + windows_error_text(GetLastError())};
        }
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    return result_;
}

LRESULT CALLBACK script_player::driver_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_NCCREATE) {
        auto self = static_cast<script_player*>(reinterpret_cast<CREATESTRUCTA*>(lparam)->lpCreateParams);
        SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
    auto self = reinterpret_cast<script_player*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (self && message == next_step_message) {
        self->next_step();
        return 0;
    }
    if (self && message == WM_TIMER && wparam == wait_timer) {
        KillTimer(window, wait_timer);
        self->timer_pending_ = false;
        self->next_step();
        return 0;
    }
    return DefWindowProcA(window, message, wparam, lparam);
}

// Runs one step. Exactly one continuation (a posted message or the wait
// timer) is outstanding until the script is over.
void script_player::next_step() {
    if (script_over_) return;
    // The first step inside Init's loop: the container and the control are
    // made by now, so whether a viewer came up can be seen.
    if (viewer_check_pending_ && inits_running_ > 0 && !viewer_came_up()) return stop(play_result::outcome::no_viewer);
    if (window_ && window_->closed() && next_ < steps_.size()) return stop(play_result::outcome::window_closed);
    if (next_ == steps_.size()) return stop(play_result::outcome::done);

    const script_step& step = steps_[next_++];
    if (step.what == script_step::kind::wait) return wait(step);

    if (step.number != init_number_ || init_number_ == 0) {
        play_result::outcome outcome = run_action(step.number, step.parameter, step.origin);
        if (outcome != play_result::outcome::done) return stop(outcome);
        return continue_soon();
    }

    std::string parameter = step.parameter;
    if (parameter.empty() && window_ && window_->rectangle())
        parameter = std::to_string(reinterpret_cast<std::uintptr_t>(window_->rectangle()));
    warn_about_the_control();
    viewer_rectangle_ = reinterpret_cast<HWND>(static_cast<std::uintptr_t>(text_to_handle(parameter.c_str())));
    init_parameter_ = step.parameter;
    init_origin_ = step.origin;
    viewer_check_pending_ = true;
    messages_seen_ = 0;
    // Init keeps the viewer up inside its own message loop and returns only
    // when the viewer ends: the rest of the script must be on the queue
    // first, so that it runs nested in that loop as in the host.
    continue_soon();
    ++inits_running_;
    bool accepted = run_action(step.number, parameter, step.origin) == play_result::outcome::done;
    --inits_running_;
    if (options_.verbose) {
        std::printf("%s: Init returned\n", step.origin.c_str());
        std::fflush(stdout);
    }
    if (!accepted) return stop(play_result::outcome::refused);
    // Init came back before the next step ran inside it: its viewer never
    // came up (no container could be made in the rectangle).
    if (viewer_check_pending_ && !viewer_came_up()) return stop(play_result::outcome::no_viewer);
    check_finished();
}

void script_player::wait(const script_step& step) {
    if (options_.verbose) {
        std::printf("%s: wait %lu\n", step.origin.c_str(), static_cast<unsigned long>(step.milliseconds));
        std::fflush(stdout);
    }
    // A timer, not a sleep: the viewer's messages keep flowing meanwhile.
    timer_pending_ = SetTimer(driver_, wait_timer, step.milliseconds, nullptr) != 0;
    if (!timer_pending_) continue_soon();
}

play_result::outcome script_player::run_action(std::int32_t number, const std::string& parameter,
                                               const std::string& origin) {
    if (options_.verbose) {
        std::printf("%s: %d %s\"%s\"\n", origin.c_str(), static_cast<int>(number),
                    action_name(host_.actions(), number).c_str(), excerpt(parameter).c_str());
        // The action may not come back soon (Init runs a message loop).
        std::fflush(stdout);
    }
    std::optional<saved_file_watch> saved;
    if (number == save_image_number_ && save_image_number_ != 0) saved.emplace(parameter);
    if (host_.run_action(number, parameter) != 1) {
        std::fprintf(stderr, "%s: the plug-in refused action %d\n", origin.c_str(), static_cast<int>(number));
        return play_result::outcome::refused;
    }
    report_viewer_messages(origin);
    if (saved && !saved->written()) {
        std::fprintf(stderr, "%s: SaveImage wrote nothing to %s: %s\n", origin.c_str(),
                     quoted(saved->full_name()).c_str(), saved->likely_cause().c_str());
        return play_result::outcome::nothing_saved;
    }
    if (saved && is_empty_picture(saved->full_name())) {
        std::fprintf(stderr,
                     "%s: SaveImage saved an empty picture (0 by 0 pixels) to %s: no viewer was up; SaveImage "
                     "copies the viewer from the screen, so put it after Init and before End\n",
                     origin.c_str(), quoted(saved->full_name()).c_str());
        return play_result::outcome::no_viewer;
    }
    return play_result::outcome::done;
}

// The plug-in says nothing when it cannot create the viewer control: the
// author would only see an empty viewer.
void script_player::warn_about_the_control() {
    if (control_looked_for_) return;
    control_looked_for_ = true;
    std::string warning = control_warning(find_control_registration());
    control_unusable_ = !warning.empty();
    if (!warning.empty()) std::fprintf(stderr, "quelto-runner: %s\n", warning.c_str());
}

// Whether the latest Init's viewer control is up; when it is not, says why.
bool script_player::viewer_came_up() {
    viewer_check_pending_ = false;
    if (hosted_viewer(viewer_rectangle_)) {
        report_viewer_messages(init_origin_);
        return true;
    }
    std::string why;
    if (!IsWindow(viewer_rectangle_))
        why = "Init's parameter " + quoted(init_parameter_) +
              " is not a window handle; write Init without a parameter for the runner's window";
    else if (control_unusable_)
        why = "the viewer control cannot be created (the line above says why)";
    else
        why = std::string("atl.dll did not create the viewer control ") + viewer_prog_id +
              "; quelto-runner --check tells why";
    std::fprintf(stderr, "%s: no viewer came up, so the script stops here: %s\n", init_origin_.c_str(), why.c_str());
    return false;
}

// Prints each message line the viewer control has shown since the last look,
// with the script line that led to it: the view alone would show it to
// nobody in a run from a shell.
void script_player::report_viewer_messages(const std::string& origin) {
    if (!viewer_rectangle_) return;
    const viewer_message message = read_viewer_message(hosted_viewer(viewer_rectangle_).Get());
    if (!message.readable || message.count <= messages_seen_) return;
    messages_seen_ = message.count;
    if (!message.line.empty()) std::fprintf(stderr, "%s: viewer: %s\n", origin.c_str(), message.line.c_str());
}

// Ends the script. A viewer still up is ended with End, as the host would on
// leaving its page, unless the user asked to keep it until the window closes.
void script_player::stop(play_result::outcome outcome) {
    script_over_ = true;
    if (result_.what == play_result::outcome::done) {
        result_.what = outcome;
        result_.steps_not_run = steps_.size() - next_;
    }
    bool keep = outcome == play_result::outcome::done && holding();
    if (inits_running_ > 0 && !keep && end_number_ != 0) run_action(end_number_, {}, runner_origin);
    check_finished();
}

void script_player::window_closed() {
    // A wait need not run out: the script stops at its next step.
    if (timer_pending_) {
        KillTimer(driver_, wait_timer);
        timer_pending_ = false;
        continue_soon();
    }
    check_finished();
}

void script_player::check_finished() {
    if (script_over_ && inits_running_ == 0 && !holding()) finished_ = true;
}
}  // namespace

play_result play_script(const plugin_host& host, const std::vector<script_step>& steps, host_window* window,
                        const play_options& options) {
    script_player player(host, steps, window, options);
    return player.play();
}
