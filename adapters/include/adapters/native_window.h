// A plain top-level X11 window for drawing with GL outside the widget toolkit
// (the render command and the renderer's tests).
#pragma once

namespace adapters {

class NativeWindow {
  public:
    NativeWindow() = default;
    ~NativeWindow();
    NativeWindow(const NativeWindow&) = delete;
    NativeWindow& operator=(const NativeWindow&) = delete;

    // Opens the window on the default display and waits until it is mapped.
    bool Open(int width, int height, const char* title);
    void Close();
    unsigned long Id() const { return m_window; }

  private:
    void* m_display = nullptr;
    unsigned long m_window = 0;
};

}  // namespace adapters
