// Every export of ZarDll, one row each, as an X-macro list:
//
//   X(group, name, shape, type, size, older)
//
// group  where the body lives: FRAME (the open, close and queue exports
//        written out in zar_exports.cpp), PLAY (the play engine's bodies
//        built so far), DEVICE (device control, video input, SCSI,
//        versions, mixer settings and the calls that are one control code),
//        AUDIO (the audio bodies), PENDING (still capture, volume
//        maintenance, preview and export: their rows stay together; MEDIA
//        marks the ones written out by hand in zar_media_exports.cpp, whose
//        argument lists are their own, PENDING the ones still to come), and
//        LATER (the play engine and effects bodies still to come: they test
//        their arguments and fail with -1).
// shape  the C argument list (zar_export_frame.h spells each one out);
//        shapes beginning with B take the board handle first.
// type   the type the first record pointer is declared with (void unless
//        the record has a public struct the callers already use).
// size   bytes of that record the frame tests for read and write access
//        before the body runs (0: the body tests what it takes).
// older  the record's size for a handle from ZarDcOpen when the export
//        still takes the older layout (0: the same layout for both).
//
// The library expands the rows into its exports; the tests expand them into
// a table they walk.
#pragma once

// clang-format off
#define ZAR_EXPORT_TABLE(X) \
    /* Device control */ \
    X(FRAME,   ZarDcOpen,                        OPEN,  void, 0, 0) \
    X(FRAME,   ZarDcOpenEx,                      OPEN,  void, 0, 0) \
    X(FRAME,   ZarDcClose,                       B,     void, 0, 0) \
    X(FRAME,   ZarDcInitialize,                  BV,    void, 0, 0) \
    X(DEVICE,  ZarDcReset,                       BV,    void, 0, 0) \
    X(DEVICE,  ZarDcGetVersionInfo,              BR,    void, 97, 0) \
    X(DEVICE,  ZarDcGetVersionInfoEx,            BR,    void, 101, 0) \
    X(DEVICE,  ZarDcSetGenlock,                  BR,    void, 20, 0) \
    X(DEVICE,  ZarDcGetGenlock,                  BR,    void, 20, 0) \
    X(DEVICE,  ZarDcSetSystemPrefs,              BR,    void, 17, 17) \
    X(DEVICE,  ZarDcGetSystemPrefs,              BR,    void, 17, 17) \
    X(DEVICE,  ZarDcSetAudioStandards,           BR,    void, 4, 0) \
    X(DEVICE,  ZarDcGetAudioStandards,           BR,    void, 4, 0) \
    X(DEVICE,  ZarDcSetM2Routing,                BR,    void, 20, 0) \
    X(DEVICE,  ZarDcGetM2Routing,                BR,    void, 20, 0) \
    X(DEVICE,  ZarDcSetVideoPrefs,               BR,    void, 16, 0) \
    X(DEVICE,  ZarDcGetVideoPrefs,               BR,    void, 16, 0) \
    X(DEVICE,  ZarDcSetEncoder,                  BR,    void, 12, 0) \
    X(DEVICE,  ZarDcGetEncoder,                  BR,    void, 12, 0) \
    X(DEVICE,  ZarDcSetJpegMode,                 BR,    void, 8, 0) \
    X(DEVICE,  ZarDcGetJpegMode,                 BR,    void, 8, 0) \
    X(DEVICE,  ZarDcSetCalibration,              BR,    void, 16, 0) \
    X(DEVICE,  ZarDcGetCalibration,              BR,    void, 16, 0) \
    X(DEVICE,  ZarDcSynchronizeExecution,        BV,    void, 0, 0) \
    X(DEVICE,  ZarDcFormatVolume,                BR,    void, 584, 0) \
    X(LATER,   ZarDcGetFileInfo,                 BRR,   void, 0, 0) \
    X(LATER,   ZarDcSetAppInfo,                  BRR,   void, 0, 0) \
    X(LATER,   ZarDcSetSDTIType,                 BRVV,  void, 0, 0) \
    X(LATER,   ZarDcQueryVolumeInfo,             BR,    void, 0, 0) \
    X(LATER,   ZarDcQueryVolumeSpace,            BR,    void, 32, 0) \
    X(LATER,   ZarDcGetFileSystemPrefs,          BR,    void, 41, 0) \
    X(LATER,   ZarDcSetFileSystemPrefs,          BR,    void, 41, 0) \
    /* Digital I/O option */ \
    X(LATER,   ZarIoDvAviCommand,                BR,    void, 40, 0) \
    X(LATER,   ZarIoDvVcrCommand,                BR,    void, 12, 0) \
    X(DEVICE,  ZarIoDvFcpCommand,                BR,    void, 33, 0) \
    X(DEVICE,  ZarIoGetDvVcrStatus,              BR,    void, 20, 0) \
    X(DEVICE,  ZarIoQueryDvVcrTimecode,          BR,    void, 8, 0) \
    X(DEVICE,  ZarIoSetDvCodec,                  BR,    void, 12, 0) \
    X(DEVICE,  ZarIoDvSetAudioMix,               BV,    void, 0, 0) \
    X(DEVICE,  ZarIoGetDvCodec,                  BR,    void, 12, 0) \
    X(DEVICE,  ZarIoSdiQueryEdh,                 BR,    void, 20, 0) \
    X(DEVICE,  ZarIoSetCaptureProcAmp,           BR,    void, 10, 0) \
    X(DEVICE,  ZarIoGetCaptureProcAmp,           BR,    void, 10, 0) \
    X(DEVICE,  ZarIoSetFramestore,               BR,    void, 8, 0) \
    X(DEVICE,  ZarIoGetFramestore,               BR,    void, 8, 0) \
    X(DEVICE,  ZarIoSetSDIOutput,                BR,    void, 8, 0) \
    X(DEVICE,  ZarIoSetSDIMode,                  BV,    void, 0, 0) \
    X(DEVICE,  ZarIoGetSDIMode,                  BR,    void, 4, 0) \
    /* Exception packets */ \
    X(FRAME,   ZarExInitializeExceptionHandler,  XR,    uint32_t, 4, 0) \
    X(FRAME,   ZarExGetExceptionPacket,          XR,    ZAR_EXCEPTION_PACKET, 36, 0) \
    /* SCSI */ \
    X(DEVICE,  ZarScsiCommand,                   BR,    void, 52, 0) \
    X(DEVICE,  ZarScsiCommandEx,                 BRR,   void, 52, 0) \
    X(DEVICE,  ZarScsiQueryDeviceInfo,           BR,    void, 196, 0) \
    /* Time code */ \
    X(DEVICE,  ZarTcSetVideoOutputSource,        BR,    void, 4, 0) \
    X(DEVICE,  ZarTcSetBase,                     BR,    void, 16, 0) \
    /* Video input */ \
    X(DEVICE,  ZarVinSetProcAmp,                 BR,    void, 4, 0) \
    X(DEVICE,  ZarVinGetProcAmp,                 BR,    void, 4, 0) \
    X(DEVICE,  ZarVinSetMode,                    BR,    void, 20, 16) \
    X(DEVICE,  ZarVinGetMode,                    BR,    void, 20, 16) \
    X(DEVICE,  ZarVinSetHorizontalPosition,      BV,    void, 0, 0) \
    /* Scaler settings */ \
    X(DEVICE,  ZarHpsSetProcAmps,                BR,    void, 12, 0) \
    X(DEVICE,  ZarHpsGetProcAmps,                BR,    void, 12, 0) \
    X(DEVICE,  ZarHpsSetPreFilter,               BV,    void, 0, 0) \
    X(DEVICE,  ZarHpsGetPreFilter,               BR,    void, 4, 0) \
    /* Audio */ \
    X(AUDIO,   ZarAudGetPlayVuLevel,             BR,    void, 80, 0) \
    X(AUDIO,   ZarAudGetRecVuLevel,              BR,    void, 16, 0) \
    X(AUDIO,   ZarAudCalcAudioDB,                DB,    void, 0, 0) \
    X(AUDIO,   ZarAudEnableEE,                   BV,    void, 0, 0) \
    X(AUDIO,   ZarAudSetTrackControl,            BR,    void, 180, 0) \
    X(AUDIO,   ZarAudGetTrackControl,            BR,    void, 180, 0) \
    X(AUDIO,   ZarAudSetSource,                  BR,    void, 4, 0) \
    X(AUDIO,   ZarAudGetSource,                  BR,    void, 4, 0) \
    X(AUDIO,   ZarAudSetSdiRxMode,               BR,    void, 16, 0) \
    X(AUDIO,   ZarAudGetSdiRxMode,               BR,    void, 16, 0) \
    X(AUDIO,   ZarAudSetSdiTxMode,               BR,    void, 16, 0) \
    X(AUDIO,   ZarAudGetSdiTxMode,               BR,    void, 16, 0) \
    X(AUDIO,   ZarAudSetAesTxMode,               BR,    void, 8, 0) \
    X(AUDIO,   ZarAudGetAesTxMode,               BR,    void, 8, 0) \
    X(AUDIO,   ZarAudGetAesRxStatus,             BR,    void, 4, 0) \
    X(AUDIO,   ZarAudSetMasterControl,           BR,    void, 8, 0) \
    X(AUDIO,   ZarAudGetMasterControl,           BR,    void, 8, 0) \
    X(AUDIO,   ZarAudGetEqResponse,              BVR,   void, 0, 0) \
    X(AUDIO,   ZarAudGetEqResponseEx,            BR,    void, 60, 0) \
    X(AUDIO,   ZarAudSetCodec,                   BR,    void, 22, 0) \
    X(AUDIO,   ZarAudGetCodec,                   BR,    void, 22, 0) \
    X(AUDIO,   ZarAudCreateLevelItem,            BRR,   void, 4, 0) \
    X(AUDIO,   ZarAudCreateLevelStream,          BR,    void, 4, 0) \
    X(AUDIO,   ZarAudLevelStreamInsertItem,      BSI,   void, 12, 0) \
    X(AUDIO,   ZarAudLevelStreamRemoveItem,      BSI,   void, 12, 0) \
    X(AUDIO,   ZarAudLevelStreamRepositionItem,  BSI,   void, 12, 0) \
    X(AUDIO,   ZarAudCreatePanItem,              BRR,   void, 4, 0) \
    X(AUDIO,   ZarAudCreatePanStream,            BR,    void, 4, 0) \
    X(AUDIO,   ZarAudPanStreamInsertItem,        BSI,   void, 12, 0) \
    X(AUDIO,   ZarAudPanStreamRemoveItem,        BSI,   void, 12, 0) \
    X(AUDIO,   ZarAudPanStreamRepositionItem,    BSI,   void, 12, 0) \
    X(AUDIO,   ZarAudCreateEqItem,               BRR,   void, 4, 0) \
    X(AUDIO,   ZarAudCreateEqStream,             BR,    void, 4, 0) \
    X(AUDIO,   ZarAudEqStreamInsertItem,         BSI,   void, 12, 0) \
    X(AUDIO,   ZarAudEqStreamRemoveItem,         BSI,   void, 12, 0) \
    X(AUDIO,   ZarAudEqStreamRepositionItem,     BSI,   void, 12, 0) \
    X(AUDIO,   ZarAudSetTrackLevelMultiplier,    BID,   void, 0, 0) \
    /* Mixer */ \
    X(LATER,   ZarMixSetPreview,                 BR,    void, 8, 0) \
    X(LATER,   ZarMixGetPreview,                 BR,    void, 8, 0) \
    X(LATER,   ZarMixSetProcAmp,                 BVR,   void, 10, 0) \
    X(LATER,   ZarMixGetProcAmp,                 BVR,   void, 10, 0) \
    X(DEVICE,  ZarMixSetMasterFade,              BV,    void, 0, 0) \
    X(DEVICE,  ZarMixGetMasterFade,              BR,    void, 4, 0) \
    X(DEVICE,  ZarMixSetDownStreamKey,           BR,    void, 36, 0) \
    X(DEVICE,  ZarMixGetDownStreamKey,           BR,    void, 36, 0) \
    X(DEVICE,  ZarMixSetDve,                     BR,    void, 36, 0) \
    X(DEVICE,  ZarMixGetDve,                     BR,    void, 36, 0) \
    X(DEVICE,  ZarMixSetMixEffects,              BR,    void, 36, 0) \
    X(DEVICE,  ZarMixGetMixEffects,              BR,    void, 36, 0) \
    X(LATER,   ZarMixLoadWipeFile,               BR,    void, 0, 0) \
    X(LATER,   ZarMixCreateMixEffectsItem,       BR,    void, 20, 0) \
    X(LATER,   ZarMixCreateMixerItem,            BR,    void, 16, 0) \
    X(LATER,   ZarMixEffectsItemSetVideoRoute,   VVVV,  void, 0, 0) \
    X(LATER,   ZarMixerItemSetVideoRoute,        VVV,   void, 0, 0) \
    X(LATER,   ZarMixCreateMasterFadeItem,       BR,    void, 16, 0) \
    X(LATER,   ZarMixCreateProcAmpItem,          BR,    void, 16, 0) \
    X(LATER,   ZarMixCreatePreviewBusItem,       BR,    void, 16, 0) \
    X(LATER,   ZarMixCreateM2RouteItem,          BR,    void, 16, 0) \
    /* Graphics */ \
    X(LATER,   ZarGfxLoadImage,                  BR,    void, 72, 0) \
    X(LATER,   ZarGfxLoadImageEx,                BRV,   void, 72, 0) \
    X(LATER,   ZarGfxReadFramestore,             BR,    void, 24, 0) \
    X(DEVICE,  ZarGfxEraseFramestore,            BV,    void, 0, 0) \
    X(DEVICE,  ZarGfxSetFramestore,              BR,    void, 36, 0) \
    X(DEVICE,  ZarGfxGetFramestore,              BR,    void, 36, 0) \
    X(LATER,   ZarGfxIsValidFormat,              BRR,   void, 0, 0) \
    X(LATER,   ZarGfxGetFileInfo,                BRR,   void, 0, 0) \
    X(LATER,   ZarGfxCreateScrollItem,           BRRR,  void, 4, 0) \
    X(LATER,   ZarGfxCreateCrawlItem,            BRRR,  void, 4, 0) \
    X(LATER,   ZarGfxCreateStillItem,            BRV,   void, 4, 0) \
    X(LATER,   ZarGfxCreateStream,               BR,    void, 4, 0) \
    X(LATER,   ZarGfxStreamInsertItem,           BSI,   void, 12, 0) \
    X(LATER,   ZarGfxStreamRemoveItem,           BSI,   void, 12, 0) \
    X(LATER,   ZarGfxStreamRepositionItem,       BSI,   void, 12, 0) \
    X(LATER,   ZarGfxItemSetDVEFlag,             VV,    void, 0, 0) \
    /* JPEG data */ \
    X(LATER,   ZarJpgLoadData,                   BR,    void, 16, 0) \
    X(LATER,   ZarJpgCaptureData,                BR,    void, 52, 0) \
    /* DVE */ \
    X(LATER,   ZarDveSetFreeze,                  BR,    void, 12, 0) \
    X(LATER,   ZarDveGetFreeze,                  BR,    void, 12, 0) \
    X(LATER,   ZarDveSetPerspective,             BR,    void, 128, 0) \
    X(LATER,   ZarDveGetTransformMatrices,       BRRR,  void, 0, 0) \
    X(LATER,   ZarDveGetPerspective,             BR,    void, 128, 0) \
    X(LATER,   ZarDveInitPerspectiveLut,         B,     void, 0, 0) \
    X(LATER,   ZarDveSet2DFilter,                BR,    void, 12, 0) \
    X(LATER,   ZarDveGet2DFilter,                BR,    void, 12, 0) \
    X(LATER,   ZarDveSetKey,                     BR,    void, 28, 0) \
    X(LATER,   ZarDveGetKey,                     BR,    void, 28, 0) \
    X(LATER,   ZarDveSetBorder,                  BR,    void, 36, 0) \
    X(LATER,   ZarDveGetBorder,                  BR,    void, 36, 0) \
    X(LATER,   ZarDveGetBorderPreview,           BRR,   void, 36, 0) \
    X(LATER,   ZarDveSetPixelEffect,             BR,    void, 12, 0) \
    X(LATER,   ZarDveGetPixelEffect,             BR,    void, 12, 0) \
    X(LATER,   ZarDveSetCropping,                BR,    void, 20, 0) \
    X(LATER,   ZarDveGetCropping,                BR,    void, 20, 0) \
    X(LATER,   ZarDveSetTrailShadow,             BR,    void, 36, 0) \
    X(LATER,   ZarDveGetTrailShadow,             BR,    void, 36, 0) \
    X(LATER,   ZarDveSetWarp,                    BR,    void, 72, 0) \
    X(LATER,   ZarDveGetWarp,                    BR,    void, 72, 0) \
    X(LATER,   ZarDveGetCapabilities,            BVR,   void, 4, 0) \
    X(LATER,   ZarDveCreateEffectItem,           BRR,   void, 4, 0) \
    X(LATER,   ZarDveItemSetKey,                 BVR,   void, 28, 0) \
    X(LATER,   ZarDveItemSetVideoRoute,          VV,    void, 0, 0) \
    X(LATER,   ZarDveScrubKeyFrame,              BRV,   void, 384, 0) \
    X(LATER,   ZarDveCreateEffectItemKF,         BRR,   void, 4, 0) \
    X(LATER,   ZarDveCreateVariSpeedItem,        BRVR,  void, 4, 0) \
    X(LATER,   ZarDveCreateVariSpeedItemEx1,     BRVRV, void, 4, 0) \
    X(LATER,   ZarDveCreateVariSpeedItemEx2,     BRR,   void, 4, 0) \
    X(LATER,   ZarDveCreateStream,               BR,    void, 4, 0) \
    X(LATER,   ZarDveStreamInsertItem,           BSI,   void, 12, 0) \
    X(LATER,   ZarDveStreamRemoveItem,           BSI,   void, 12, 0) \
    X(LATER,   ZarDveStreamRepositionItem,       BSI,   void, 12, 0) \
    /* Play engine: items */ \
    X(LATER,   ZarPlyCreateClipItem,             BR,    void, 28, 0) \
    X(LATER,   ZarPlyOpenClipItem,               BR,    void, 54, 0) \
    X(LATER,   ZarPlyCreateVirtualItem,          BR,    void, 16, 0) \
    X(LATER,   ZarPlyCreateClipCallbackItem,     BR,    void, 16, 0) \
    X(LATER,   ZarPlyCreateMemfileClipItem,      BRR,   void, 16, 0) \
    X(LATER,   ZarPlyModifyClipItem,             VR,    void, 42, 0) \
    X(LATER,   ZarPlyCreateWaveRecItem,          BR,    void, 40, 0) \
    X(LATER,   ZarPlyOpenAudioItem,              BRR,   void, 74, 0) \
    X(LATER,   ZarPlyOpenAudioItemEx,            BRRV,  void, 74, 0) \
    X(LATER,   ZarPlyCloneAudioItem,             BVRV,  void, 4, 0) \
    X(LATER,   ZarPlyCreateAudioCallbackItem,    BR,    void, 16, 0) \
    X(LATER,   ZarPlyQueryAudioItem,             VR,    void, 74, 0) \
    X(LATER,   ZarPlyModifyAudioItem,            VR,    void, 54, 0) \
    X(PLAY,    ZarPlyItemQuery,                  R,     ZAR_ITEM_QUERY, 0, 0) \
    X(LATER,   ZarPlyRecordItem,                 BR,    void, 56, 0) \
    /* Play engine: streams */ \
    X(LATER,   ZarPlyCreateClipStream,           BR,    void, 4, 0) \
    X(LATER,   ZarPlyCreateAudioStream,          BR,    void, 4, 0) \
    X(LATER,   ZarPlyCreateMixerStream,          BR,    void, 4, 0) \
    X(LATER,   ZarPlyCreateWipeStream,           BR,    void, 4, 0) \
    X(LATER,   ZarPlyCreateMasterFadeStream,     BR,    void, 4, 0) \
    X(LATER,   ZarPlyCreateProcAmpStream,        BR,    void, 4, 0) \
    X(LATER,   ZarPlyCreatePreviewBusStream,     BR,    void, 4, 0) \
    X(LATER,   ZarPlyCreateM2RouteStream,        BR,    void, 4, 0) \
    X(LATER,   ZarPlyClipStreamInsertItem,       BSI,   void, 12, 0) \
    X(LATER,   ZarPlyAudioStreamInsertItem,      BSI,   void, 12, 0) \
    X(LATER,   ZarPlyWipeStreamInsertItem,       BSI,   void, 12, 0) \
    X(LATER,   ZarPlyMixerStreamInsertItem,      BSI,   void, 12, 0) \
    X(LATER,   ZarPlyMasterFadeStreamInsertItem, BSI,   void, 12, 0) \
    X(LATER,   ZarPlyProcAmpStreamInsertItem,    BSI,   void, 12, 0) \
    X(LATER,   ZarPlyPreviewBusStreamInsertItem, BSI,   void, 12, 0) \
    X(LATER,   ZarPlyM2RouteStreamInsertItem,    BSI,   void, 12, 0) \
    X(LATER,   ZarPlyClipStreamRemoveItem,       BSI,   void, 12, 0) \
    X(LATER,   ZarPlyAudioStreamRemoveItem,      BSI,   void, 12, 0) \
    X(LATER,   ZarPlyWipeStreamRemoveItem,       BSI,   void, 12, 0) \
    X(LATER,   ZarPlyMixerStreamRemoveItem,      BSI,   void, 12, 0) \
    X(LATER,   ZarPlyMasterFadeStreamRemoveItem, BSI,   void, 12, 0) \
    X(LATER,   ZarPlyProcAmpStreamRemoveItem,    BSI,   void, 12, 0) \
    X(LATER,   ZarPlyPreviewBusStreamRemoveItem, BSI,   void, 12, 0) \
    X(LATER,   ZarPlyM2RouteStreamRemoveItem,    BSI,   void, 12, 0) \
    X(LATER,   ZarPlyClipStreamRepositionItem,   BSI,   void, 12, 0) \
    X(LATER,   ZarPlyAudioStreamRepositionItem,  BSI,   void, 12, 0) \
    X(LATER,   ZarPlyWipeStreamRepositionItem,   BSI,   void, 12, 0) \
    X(LATER,   ZarPlyMixerStreamRepositionItem,  BSI,   void, 12, 0) \
    X(LATER,   ZarPlyMasterFadeStreamRepositionItem, BSI, void, 12, 0) \
    X(LATER,   ZarPlyProcAmpStreamRepositionItem, BSI,  void, 12, 0) \
    X(LATER,   ZarPlyPreviewBusStreamRepositionItem, BSI, void, 12, 0) \
    X(LATER,   ZarPlyM2RouteStreamRepositionItem, BSI,  void, 12, 0) \
    X(PLAY,    ZarPlyStreamQuery,                R,     ZAR_STREAM_QUERY, 0, 0) \
    X(PLAY,    ZarPlyStreamQueryByIndex,         R,     ZAR_STREAM_QUERY, 0, 0) \
    X(PLAY,    ZarPlyIsStreamEmpty,              V,     void, 0, 0) \
    X(PLAY,    ZarPlyGetStreamModeFlags,         VR,    uint32_t, 0, 0) \
    X(PLAY,    ZarPlySetStreamModeFlags,         VV,    void, 0, 0) \
    /* Play engine: transport, status, export and import */ \
    X(LATER,   ZarPlyCueStreams,                 BR,    void, 216, 0) \
    X(LATER,   ZarPlyPlayStreams,                BR,    void, 20, 0) \
    X(LATER,   ZarPlyStopStreams,                BV,    void, 0, 0) \
    X(LATER,   ZarPlyStopStreamsEx,              BV,    void, 0, 0) \
    X(LATER,   ZarPlySetSmoothScrubSpeed,        BDV,   void, 0, 0) \
    X(LATER,   ZarPlyGetSmoothScrubStatus,       BR,    void, 14, 0) \
    X(LATER,   ZarPlySetVariPlaySpeed,           BR,    void, 21, 0) \
    X(LATER,   ZarPlyGetVariPlaySpeed,           BR,    void, 21, 0) \
    X(LATER,   ZarPlyRenderVideoStreams,         BR,    void, 76, 0) \
    X(LATER,   ZarPlyRenderAudioStreams,         BR,    void, 160, 0) \
    X(PLAY,    ZarPlySetStreamProperties,        BR,    void, 0, 0) \
    X(LATER,   ZarPlyScrubStreams,               BR,    void, 192, 0) \
    X(LATER,   ZarPlyGetPlayStatus,              BR,    void, 24, 0) \
    X(LATER,   ZarPlyGetRecordStatus,            BR,    void, 28, 0) \
    X(LATER,   ZarPlyExport,                     BR,    void, 24, 0) \
    X(LATER,   ZarPlyExportThumbnail,            BR,    void, 0, 0) \
    X(LATER,   ZarPlyImport,                     BR,    void, 56, 48) \
    X(LATER,   ZarPlyJpgExport,                  BR,    void, 20, 0) \
    X(LATER,   ZarPlyJpgImport,                  BR,    void, 16, 0) \
    X(LATER,   ZarPlyBuildSubRange,              R,     void, 16, 0) \
    X(LATER,   ZarPlyCopyStreamRange,            BR,    void, 44, 0) \
    X(LATER,   ZarPlyOverrideStream,             R,     void, 20, 0) \
    X(LATER,   ZarPlyOverrideStreamEx,           R,     void, 24, 0) \
    X(LATER,   ZarPlyReadAudioStreamData,        R,     void, 28, 0) \
    X(LATER,   ZarPlySysLiveSourceEnable,        BR,    void, 90, 0) \
    X(LATER,   ZarPlySysLiveSourceDisable,       B,     void, 0, 0) \
    X(LATER,   ZarPlySysLiveSourceGetStatus,     BR,    void, 144, 0) \
    X(LATER,   ZarPlySysLiveSourceGetSync,       BR,    void, 12, 0) \
    X(LATER,   ZarPlySysLiveSourceSetSync,       BR,    void, 12, 0) \
    /* Other calls */ \
    X(FRAME,   ZarDereferenceObject,             V,     void, 0, 0) \
    X(LATER,   ZarProcAmpItemSetDVEFlag,         VV,    void, 0, 0) \
    X(LATER,   ZarYUVToRGB,                      YUV,   void, 0, 0) \
    X(LATER,   ZarSet24FpsMode,                  BR,    void, 4, 0) \
    X(LATER,   ZarGet24FpsMode,                  BR,    void, 4, 0) \
    X(LATER,   ZarSetHDProxyExtensions,          BRR,   void, 0, 0) \
    X(LATER,   ZarGetHDProxyExtensions,          BRR,   void, 0, 0) \
    X(DEVICE,  ZarSetUserVirtualFrameName,       BR,    void, 0, 0) \
    X(LATER,   ZarLockFileSystem,                BV,    void, 0, 0) \
    X(LATER,   ZarUnlockFileSystem,              B,     void, 0, 0) \
    X(LATER,   ZarGetSoftwareImportCapability,   BR,    void, 8, 0) \
    /* Still capture, volume maintenance, preview and export */ \
    X(MEDIA,   ZarHpsCaptureImage,               BR,    void, 120, 120) \
    X(MEDIA,   ZarHpsCaptureQuery,               RV,    void, 120, 120) \
    X(MEDIA,   ZarHpsGetWaveformBitmap,          BR,    void, 28, 0) \
    X(PENDING, ZarIoHpsCaptureImage,             BR,    void, 120, 120) \
    X(MEDIA,   ZarProcAmpWaveformDlg,            BR,    void, 24, 0) \
    X(PENDING, ZarHpsExport,                     BR,    void, 324, 0) \
    X(PENDING, ZarHpsExportEx,                   BR,    void, 324, 0) \
    X(PENDING, ZarHpsLiveExport,                 BR,    void, 120, 0) \
    X(PENDING, ZarHpsLiveExportEx,               BR,    void, 120, 0) \
    X(MEDIA,   ZarOptimizeVolume,                BR,    void, 8, 0) \
    X(MEDIA,   ZarQueryOptimizeProgress,         BR,    void, 1080, 0) \
    X(MEDIA,   ZarAbortOptimizeVolume,           B,     void, 0, 0) \
    X(MEDIA,   ZarScanMediaFiles,                BR,    void, 12, 0) \
    X(MEDIA,   ZarGetFileLocation,               BRR,   void, 0, 0) \
    X(MEDIA,   ZarGetVolumeSpaceInfoEx,          BR,    void, 0, 0)
// clang-format on

// Expands one group's rows with ZAR_EXPAND_<group>, which the including file
// defines for the groups it builds; the others expand to nothing.
#define ZAR_EXPORT_ROW_BY_GROUP(group, name, shape, type, size, older) ZAR_EXPAND_##group(name, shape, type, size, older)
