// What the frame asks of the play engine and the effects library, in one
// narrow interface. Their code registers its implementation from a static
// initialiser of the same library; until it does, the frame runs with the
// stand-in below, which builds nothing and sends nothing.
#pragma once

#include <cstdint>

class CZarDll;
class CBoardConnection;

// What the engine builds for one board at its first open in a process (the
// audio server, the audio scrub worker, the waveform monitor); deleted when
// the library unloads.
class CBoardEngineObjects {
public:
    virtual ~CBoardEngineObjects() = default;
};

class CEngineServices {
public:
    virtual ~CEngineServices() = default;
    // At library load, after the section: the DVE geometry defaults, the
    // audio tracks, the maps and the per-board tables. False fails the load.
    virtual bool InitInstance(CZarDll&) { return true; }
    // At unload, after the boards' objects went: the per-board caches.
    virtual void ExitInstance(CZarDll&) {}
    // The DVE parameters reset after a firmware load; 'flag' is the
    // post-firmware set-up's flag (non-zero: tables later).
    virtual void ResetDve(CBoardConnection&, uint32_t /*flag*/) {}
    // Every track's level multiplier (track -1) at a board's first set-up.
    virtual void SetAllTrackLevelMultipliers(CBoardConnection&, double /*factor*/) {}
    // The board's objects, built on the board's own connection; null for none.
    virtual CBoardEngineObjects* BuildBoardObjects(CZarDll&, CBoardConnection&) { return nullptr; }
    // The board's preview started and its DVE state initialised.
    virtual void StartBoard(CBoardConnection&) {}
    // At unload, before the board's objects are deleted: its preview stopped.
    virtual void StopBoard(uint32_t /*board*/) {}
};

// The services in force (the stand-in until the engine registers).
CEngineServices& ZarEngine();
// Called once by the engine's own code as the library loads.
void ZarRegisterEngine(CEngineServices* services);
