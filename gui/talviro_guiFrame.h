// The measurement window: four readings of the probe's converter, each as a
// text and a gauge, the connect/disconnect/refresh controls and a two-field
// status bar, all at fixed positions in a window that cannot be resized. The
// positions and sizes are 96-DPI pixels, scaled to the window's DPI on
// Windows and to GTK's text resolution on Linux. Tab and Shift+Tab go
// through Refresh, "Refresh continuously", Connect or Disconnect and
// "Stay on top". With more than one probe plugged in, Connect offers them in
// a menu and the title names the connected one; the serial of the probe last
// connected is kept in the toolkit's configuration store (wxConfigBase::Get).
//
// Everything runs on the GUI thread; handlers never overlap, and every probe
// transfer blocks the window until the driver answers, except while a
// capture runs (a rate faster than 1 s in the trend window): then the
// capture's thread owns the probe channel, and the window only shows what
// it took.
#ifndef TALVIRO_GUI_TALVIRO_GUIFRAME_H
#define TALVIRO_GUI_TALVIRO_GUIFRAME_H

#include "console/capture.h"
#include "gui/trend_feed.h"

#include <wx/frame.h>
#include <wx/image.h>
#include <wx/timer.h>

#include <optional>
#include <string>
#include <vector>

struct ProbeEntry;
class wxButton;
class wxCheckBox;
class wxCloseEvent;
class wxCommandEvent;
class wxDPIChangedEvent;
class wxGauge;
class wxPanel;
class wxStaticBitmap;
class wxStaticBox;
class wxStaticText;
class wxStatusBar;
class wxTimerEvent;

class talviro_guiFrame : public wxFrame {
public:
    // Builds the whole window, resets the readings and makes the first
    // connection attempt (with one readout when it succeeds), all before
    // returning, and puts the focus on Refresh when connected, on Connect when
    // not; the caller only has to show it. The frame itself always takes
    // wxID_ANY. The first attempt never asks: it takes the probe last
    // connected when it is free, else the first free one. With
    // wanted_serial (a channel serial as the status bar shows it, "TV0002B")
    // the window connects to that probe only, then and on every Connect.
    // Reads "logo.jpg" from the working directory, else from beside the
    // program, else from the installed data folder; without a loadable logo
    // the window is complete but for an empty logo area, and one line on
    // standard error says so.
    talviro_guiFrame(wxWindow* parent, wxWindowID id = -1,
                     const std::string& wanted_serial = std::string());
    // Ends a capture that runs and stops and destroys the refresh timer
    // before the controls go. Leaves the probe channel as it is: only
    // Disconnect closes it.
    ~talviro_guiFrame() override;

    // Control ids, allocated from wxNewId() during static initialisation in
    // this order, which is also the order the constructor creates them in.
    static const long ID_STATICBOX1;
    static const long ID_CHECKBOX1;
    static const long ID_GAUGE1;
    static const long ID_STATICTEXT1;
    static const long ID_STATICTEXT2;
    static const long ID_STATICTEXT3;
    static const long ID_STATICTEXT4;
    static const long ID_GAUGE2;
    static const long ID_GAUGE3;
    static const long ID_GAUGE4;
    static const long ID_BUTTON1;
    static const long ID_BUTTON2;
    static const long ID_BUTTON3;
    static const long ID_CHECKBOX2;
    static const long ID_STATICBITMAP1;
    static const long ID_STATICTEXT5;
    static const long ID_STATICTEXT6;
    static const long ID_STATICTEXT7;
    static const long ID_STATICTEXT8;
    static const long ID_STATICTEXT9;
    static const long ID_STATUSBAR1;
    static const long ID_TIMER1;
    static const long ID_BUTTON4;

    // The controls, each named after its id. The frame owns them through the
    // toolkit's parent-child relation; nothing here deletes them.
    wxPanel* Panel1;               // fills the client area and holds every control but the
                                   // status bar: on Windows, moving between controls with
                                   // the keyboard is a panel's job
    wxStaticText* StaticText9;     // "0,5A", greyed
    wxGauge* Gauge3;               // V target, 0..500 (5.00 V)
    wxStaticText* StaticText2;     // I supply reading
    wxButton* Button1;             // "Connect"
    wxStaticText* StaticText6;     // "5V", greyed
    wxGauge* Gauge4;               // fourth row, 0..1000 (10.00 V)
    wxStaticBitmap* StaticBitmap1; // the logo
    wxGauge* Gauge1;               // third row, 0..1000 (10.00 V)
    wxStaticText* StaticText8;     // "10V", greyed
    wxCheckBox* CheckBox2;         // "Refresh continuously"
    wxStaticText* StaticText1;     // third row reading
    wxStaticText* StaticText3;     // V target reading
    wxStaticBox* StaticBox1;       // frames the four reading rows
    wxButton* Button2;             // "Disconnect"
    wxCheckBox* CheckBox1;         // "Stay on top"
    wxButton* Button3;             // "Refresh"
    wxStaticText* StaticText5;     // the maker's notice
    wxStaticText* StaticText7;     // "10V", greyed
    wxStatusBar* StatusBar1;       // field 0: connection state; field 1: serial number
    wxGauge* Gauge2;               // I supply, 0..500 (500 mA)
    wxStaticText* StaticText4;     // fourth row reading
    wxTimer Timer1;                // the refresh timer; runs only while refreshing continuously
    wxButton* Button4;             // "Trend…", after "Stay on top" in the tab order
    wxTimer CaptureTimer;          // drains the capture at the frame rate; runs only while it does

    // Sets or clears only the stay-on-top style bit, following CheckBox1.
    void OnStayOnTopClick(wxCommandEvent& event);
    // Opens the probe channel: the wanted one when the window was given a
    // serial; else, with more than one probe plugged in, the one the user
    // picks from a menu under Connect (every probe by serial and state, the
    // one last connected first, only free ones choosable; dismissing it does
    // nothing); else the first free one. On success: connected state,
    // "Serial: ..." in field 1, one readout, the serial remembered, and the
    // focus on Disconnect if Connect had it. On failure: disconnected state
    // with "Not Connected" in field 0; field 1 and the readings stay as they
    // are; a wanted serial that is not there is named on standard error with
    // the serials that are.
    void OnConnectClick(wxCommandEvent& event);
    // Stops the timer and a capture, closes the channel and resets the
    // readings; the focus goes to Connect if Disconnect had it.
    void OnDisconnectClick(wxCommandEvent& event);
    // One readout: converter channels 0..3 in turn, each shown in its text
    // and gauge before the next is converted. A conversion that was not whole
    // shows "---" and gauge 0, and the link is then not responding (field 0
    // "TALVIRO not responding") until a readout in which all four are whole.
    // While it is so, the readout first tries once to reopen the same probe
    // (probe_reopen, at most about half a second): on success the link is
    // connected again ("TALVIRO Connected") and the readout runs; otherwise
    // every reading shows "---" and no transfer is made. Needs a connected
    // window. While a capture runs: shows its latest readout instead (none
    // yet: nothing changes), with no transfer.
    void OnRefreshClick(wxCommandEvent& event);
    // Ticked: starts the 1000 ms periodic timer and disables Refresh.
    // Unticked: stops it and enables Refresh.
    void OnRefreshContinuouslyClick(wxCommandEvent& event);
    // One readout per tick.
    void OnRefreshTimer(wxTimerEvent& event);
    // The disconnected state: reset texts, gauges at 0, "Not connected" and
    // an empty field 1, only Connect usable, "Refresh continuously" unticked.
    // Leaves the timer, "Stay on top" and the probe channel alone.
    void ResetReadings();
    // Opens the trend window over every readout shown so far, or raises it.
    // A double click on any gauge does the same.
    void OnTrendClick(wxCommandEvent& event);
    // The rate of the live readouts, as the trend window's rate choice sets
    // it: CaptureRate::Second is the refresh as above, with no capture; a
    // faster one runs a capture (console/capture.h) while connected, from
    // now or the next Connect, until Disconnect, the trend window closes or
    // this window goes. While it runs, Refresh and the timer's ticks show
    // the latest readout it took instead of reading the probe, and every
    // readout it took goes to the trend at the time it was taken. Shown in
    // the trend window's choice.
    void SetCaptureRate(console::CaptureRate rate);
    console::CaptureRate CaptureRate() const { return capture_rate_; }
    bool Capturing() const { return capture_.running(); }
    // The window closes: the capture ends now, not when the toolkit
    // deletes the window later.
    void OnClose(wxCloseEvent& event);
    // Moves the readouts the capture took to the trend, drawn once, keeps
    // the last for Refresh, and shows in field 0 whether it was whole.
    void OnCaptureTimer(wxTimerEvent& event);
#ifdef __WXMSW__
    // The window moved to a monitor of another DPI: lays it out again for
    // that DPI. wx has already set the controls' fonts for it.
    void OnDpiChanged(wxDPIChangedEvent& event);
#endif

private:
    // The link to the probe, kept here: the status bar only shows it.
    enum class Link { Disconnected, Connected, NotResponding };
    Link link_ = Link::Disconnected;
    // The name (probe_name) of the probe last connected, which a readout
    // gets back after the probe stopped answering: its channel serial, or
    // where it is plugged in when its chip has none.
    std::string probe_serial_;
    // The only probe this window connects to; empty: any.
    std::string wanted_serial_;
    // False until the constructor has made every control: messages that
    // arrive before (a DPI change, for one) find nothing to lay out.
    bool built_ = false;

    // Shows link_ in field 0.
    void ShowLink();
    // The start-up attempt: the wanted probe, else the one last connected
    // when it is free, else the first free one.
    void ConnectAtStart();
    // Opens the probe with that channel serial, or the first free one for an
    // empty serial, and shows the outcome as OnConnectClick says. plugged_in:
    // how many probes the caller listed just before, which puts the probe's
    // name in the title when more than one; 0 when it did not list, and an
    // open by serial lists them itself (probe_last_listed). Only an open by
    // description without that count lists them, after it succeeded.
    void ConnectTo(const std::string& serial, size_t plugged_in = 0);
    // Pops up the menu of probes under Connect and waits for the choice.
    // Returns the serial chosen, or empty when the menu was dismissed.
    std::string ChooseProbe(const std::vector<ProbeEntry>& probes);
    // Every readout shown, for the trend window; a gap from each Disconnect
    // to the next readout. Closes the trend window when this window goes.
    TrendFeed trend_;

    // The capture and the last readout it took (none yet: nothing whole).
    console::Capture capture_;
    console::CaptureRate capture_rate_ = console::CaptureRate::Second;
    std::optional<console::Sample> latest_;
    // Starts the capture at capture_rate_ when it is faster than 1 s and the
    // window is connected; stops it otherwise, taking the channel back.
    void FollowCaptureRate();
    // Ends the capture, if one runs, with what it took drained, and takes
    // the channel back: a channel it left out of step is not responding,
    // and the next readout looks for the probe again.
    void StopCapture();
    // What OnCaptureTimer does.
    void DrainCapture();
    // Shows conversion i of a readout in its text and gauge: the reading,
    // or "---" when it was not whole. Returns the reading, NaN for "---".
    float ShowConversion(int i, uint16_t count, bool whole);

    // Puts every control at its place and size for layout_dpi_, sizes best-
    // sized controls to their labels again, and shows the logo at its own
    // size scaled once to layout_dpi_. First raises layout_dpi_ as far as a
    // text needs (FittingDpi); the caller sizes the window for it.
    void LayOut();
    // A text in its font, and the room it has in the 96-DPI layout.
    struct TextRoom {
        int width;        // pixels, as drawn now
        int left, right;  // where its room begins and ends, in 96-DPI pixels
        bool is_text;  // a text's extent, which ends in a blank column; else a control's
    };
    // Every text whose width the layout depends on, at its widest: each
    // reading at full scale, the check boxes with their boxes, the gauges'
    // labels, the maker's notice and the buttons' labels.
    std::vector<TextRoom> TextRooms() const;
    // The lowest layout resolution from dpi up at which every text fits its
    // room: dpi itself with the fonts the layout was made for, more with a
    // wider one (another family, a translation), never above four times dpi.
    int FittingDpi(int dpi) const;
    // 96-DPI pixels in pixels at layout_dpi_, rounded as wx's FromDIP does.
    int Scaled(int length) const;
    wxPoint Scaled(const wxPoint& point) const;
    wxSize Scaled(const wxSize& size) const;
#ifdef __WXMSW__
    // Handles WM_DPICHANGED itself where wx did not: wx 3.2 does so only in
    // per-monitor v2 windows, which Wine 8 and Windows before 10 1703 do
    // not make.
    WXLRESULT MSWWindowProc(WXUINT message, WXWPARAM wParam, WXLPARAM lParam) override;
    // The window's DPI over the DPI wx draws it at, after a DPI change wx
    // passed over; the fonts' point sizes are scaled by it. Else 1.
    double font_scale_ = 1.0;
    int window_dpi_ = 96;  // the DPI of the monitor the window is on
    // The layout resolution for the window at dpi: dpi, raised by as much as
    // Windows' text size has enlarged the controls' font.
    int LayoutDpi(int dpi) const;
    // How much larger the client area is than at LayoutDpi(window_dpi_):
    // what a text wider than the layout's room added.
    wxSize Growth() const;
#endif

    int layout_dpi_ = 96;  // the resolution the layout is scaled to; 96 is 1:1
    wxImage logo_;         // as loaded: the logo is scaled from it, never from a scaled copy

    DECLARE_EVENT_TABLE()
};

#endif
