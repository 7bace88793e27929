// The engine's registration point and its stand-in.

#include "zar_engine.h"

namespace {

CEngineServices* registered = nullptr;

}  // namespace

CEngineServices& ZarEngine()
{
    static CEngineServices standIn;
    return registered ? *registered : standIn;
}

void ZarRegisterEngine(CEngineServices* services) { registered = services; }
