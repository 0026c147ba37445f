// The program's identity and the reason it records system audio, as a property list in a
// read-only section of the executable, where tools that inspect it look for them.
extern "C" {
__attribute__((section("__info_plist"), used)) const char brimlowAudioCaptureInfoPlist[] =
    R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>CFBundleIdentifier</key>
	<string>app.brimlow.audio-capture</string>
	<key>CFBundleName</key>
	<string>Brimlow Audio Capture</string>
	<key>NSScreenCaptureUsageDescription</key>
	<string>会議相手の音声をこのMac内でリアルタイムに文字起こしするために、システムオーディオを取得します。</string>
</dict>
</plist>
)";
}
