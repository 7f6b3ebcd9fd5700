#pragma once

void ChooseFirmwareFile();
