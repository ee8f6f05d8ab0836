// The 33 message wrapper classes.
#pragma once

#include "sdk/analytics/messages/nano_message_base.h"

#define APMPB_MESSAGE_CLASS(Name) \
  class APMPB##Name final : public NANOMessage<APMPB##Name, &kNANO##Name##Schema> {};

APMPB_MESSAGE_CLASS(AppProperty)
APMPB_MESSAGE_CLASS(Audience)
APMPB_MESSAGE_CLASS(AudienceLeafFilterResult)
APMPB_MESSAGE_CLASS(ClientProperty)
APMPB_MESSAGE_CLASS(CustomProperty)
APMPB_MESSAGE_CLASS(DataControl)
APMPB_MESSAGE_CLASS(DynamicFilterResultTimestamp)
APMPB_MESSAGE_CLASS(Event)
APMPB_MESSAGE_CLASS(EventConfig)
APMPB_MESSAGE_CLASS(EventFilter)
APMPB_MESSAGE_CLASS(EventParam)
APMPB_MESSAGE_CLASS(Experiment)
APMPB_MESSAGE_CLASS(ExperimentRequest)
APMPB_MESSAGE_CLASS(ExperimentResponse)
APMPB_MESSAGE_CLASS(Filter)
APMPB_MESSAGE_CLASS(Flag)
APMPB_MESSAGE_CLASS(MeasurementBatch)
APMPB_MESSAGE_CLASS(MeasurementBundle)
APMPB_MESSAGE_CLASS(MeasurementConfig)
APMPB_MESSAGE_CLASS(NumberFilter)
APMPB_MESSAGE_CLASS(OgtActivities)
APMPB_MESSAGE_CLASS(OgtActivity)
APMPB_MESSAGE_CLASS(Program)
APMPB_MESSAGE_CLASS(PropertyFilter)
APMPB_MESSAGE_CLASS(Region)
APMPB_MESSAGE_CLASS(ResultData)
APMPB_MESSAGE_CLASS(RuntimeEntity)
APMPB_MESSAGE_CLASS(SdkResponse)
APMPB_MESSAGE_CLASS(SequenceFilterResultTimestamp)
APMPB_MESSAGE_CLASS(Setting)
APMPB_MESSAGE_CLASS(Snapshot)
APMPB_MESSAGE_CLASS(StringFilter)
APMPB_MESSAGE_CLASS(UserAttribute)

#undef APMPB_MESSAGE_CLASS
