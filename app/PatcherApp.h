#pragma once
#include <wx/app.h>
namespace LumoPatch { class KestinPatcherApp : public wxApp { public: bool OnInit() override { return false; } }; }
