// Identity of the container as hosts see it, and the JUCE module settings every
// unit of the project is compiled with (JUCE reads this through
// JUCE_APP_CONFIG_HEADER before any module header).
#pragma once

#define JUCE_GLOBAL_MODULE_SETTINGS_INCLUDED 1

#include "TamblitVersion.h"

// Framework features the container does not use or that Debian strips.
#define JUCE_WEB_BROWSER 0
#define JUCE_USE_CURL 0
#define JUCE_MODAL_LOOPS_PERMITTED 1
#define JUCE_PLUGINHOST_VST 1
// VST3 and LV2 hosting: the test host loads the container's own VST3 and LV2
// builds through it; the slots still host VST 2.x only.
#define JUCE_PLUGINHOST_VST3 1
#define JUCE_PLUGINHOST_LADSPA 0
#define JUCE_PLUGINHOST_LV2 1
#define JUCE_PLUGINHOST_AU 0
#define JUCE_INCLUDE_ZLIB_CODE 0
#define JUCE_INCLUDE_PNGLIB_CODE 0
#define JUCE_INCLUDE_JPEGLIB_CODE 0
#define JUCE_USE_XRANDR 1
#define JUCE_USE_XINERAMA 1
#define JUCE_USE_XSHM 1
#define JUCE_USE_XRENDER 0
#define JUCE_USE_XCURSOR 1
#define JUCE_DISPLAY_SPLASH_SCREEN 0
#define JUCE_REPORT_APP_USAGE 0
#define JUCE_VST3_CAN_REPLACE_VST2 0
#define JUCE_STRICT_REFCOUNTEDPOINTER 1

// Plug-in identity: instrument, 0 inputs / 2 outputs, MIDI in only.
// One processor, three formats: each format's entry target defines its own
// JucePlugin_Build_* switch; everything else is compiled as the VST 2.x build.
#ifndef JucePlugin_Build_VST
#define JucePlugin_Build_VST 1
#endif
#ifndef JucePlugin_Build_VST3
#define JucePlugin_Build_VST3 0
#endif
#define JucePlugin_Build_AU 0
#define JucePlugin_Build_AUv3 0
#define JucePlugin_Build_AAX 0
#define JucePlugin_Build_Standalone 0
#define JucePlugin_Build_Unity 0
#ifndef JucePlugin_Build_LV2
#define JucePlugin_Build_LV2 0
#endif
#define JucePlugin_Enable_IAA 0
#define JucePlugin_Enable_ARA 0

// A test fixture built with these settings names itself (name, description,
// plug-in code) in a header of its own; everything else it shares.
#ifdef TAMBLIT_PLUGIN_IDENTITY_HEADER
#include TAMBLIT_PLUGIN_IDENTITY_HEADER
#else
#define JucePlugin_Name "PluginTamblit(Synth)"
#define JucePlugin_Desc "PluginTamblit(Synth)"
#define JucePlugin_PluginCode 0x546d6273 // 'Tmbs'
#endif
#define JucePlugin_Manufacturer "Tamblit Audio"
#define JucePlugin_ManufacturerWebsite "https://tamblit.example.org"
#define JucePlugin_ManufacturerEmail ""
#define JucePlugin_ManufacturerCode 0x54616d62 // 'Tamb'
#define JucePlugin_IsSynth 1
#define JucePlugin_WantsMidiInput 1
#define JucePlugin_ProducesMidiOutput 0
#define JucePlugin_IsMidiEffect 0
#define JucePlugin_EditorRequiresKeyboardFocus 0
#define JucePlugin_Version TAMBLIT_VERSION_STRING
#define JucePlugin_VersionCode TAMBLIT_VERSION_CODE
#define JucePlugin_VersionString TAMBLIT_VERSION_STRING
#define JucePlugin_PreferredChannelConfigurations                                                                                          \
    {                                                                                                                                      \
        0, 2                                                                                                                               \
    }

// VST 2.x: unique ID 'Tmbs' packed big-endian, synth category, and the effect
// record's version field 100 (the wrapper writes this value there).
#define JucePlugin_VSTUniqueID JucePlugin_PluginCode
#define JucePlugin_VSTCategory kPlugCategSynth
#define JucePlugin_VSTChunkStructureVersion 100
#define JucePlugin_VSTNumMidiInputs 16
#define JucePlugin_VSTNumMidiOutputs 16

// Audio Unit identity, kept for a macOS build (nothing on Linux builds it):
// a music device whose entry is PluginTamblitAUEntry; the state is stored under
// "jucePluginState" by the framework.
#define JucePlugin_AUMainType 'aumu'
#define JucePlugin_AUSubType JucePlugin_PluginCode
#define JucePlugin_AUExportPrefix PluginTamblitAU
#define JucePlugin_AUExportPrefixQuoted "PluginTamblitAU"
#define JucePlugin_AUManufacturerCode JucePlugin_ManufacturerCode
#define JucePlugin_CFBundleIdentifier org.example.tamblit.synth
#define JucePlugin_AAXIdentifier org.example.tamblit.synth
#define JucePlugin_AAXManufacturerCode JucePlugin_ManufacturerCode
#define JucePlugin_AAXProductId JucePlugin_PluginCode
#define JucePlugin_AAXCategory 2048
#define JucePlugin_AAXDisableBypass 0
#define JucePlugin_AAXDisableMultiMono 0
#define JucePlugin_IAAType 0x61757269
#define JucePlugin_IAASubType JucePlugin_PluginCode
#define JucePlugin_IAAName "Tamblit: PluginTamblit(Synth)"
#define JucePlugin_ARAFactoryID "org.example.tamblit.synth.factory"
#define JucePlugin_ARADocumentArchiveID "org.example.tamblit.synth.aradocumentarchive." TAMBLIT_VERSION_STRING
#define JucePlugin_ARACompatibleArchiveIDs ""
#define JucePlugin_ARAContentTypes 0
#define JucePlugin_ARATransformationFlags 0
// VST3: JUCE derives the component class id {ABCDEF01-9182FAEB-'Tamb'-'Tmbs'}
// (controller {ABCDEF01-1234ABCD-'Tamb'-'Tmbs'}) from the two codes above, so it
// stays put across versions; it must not claim to replace the VST 2.x build.
#define JucePlugin_Vst3Category "Instrument|Synth"
#define JucePlugin_Vst3ComponentFlags 0
// LV2: the maker's site, "/plugins/" and the plug-in code; never versioned.
#define JucePlugin_LV2URI "https://tamblit.example.org/plugins/Tmbs"
