// A header of the relay layer.
#pragma once
