// Fault injection for tests of the frame store and the compositor.
#pragma once

// Makes the following format steps fail to create `workPicture` and/or
// `workPlane` (as an allocation failure would) until called again with false.
void setWorkImageCreationFailure(bool failPicture, bool failPlane);
