// A header of the protocol layer.
#pragma once
